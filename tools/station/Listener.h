// The listening socket on 127.0.0.1 and the threads it runs: one accept thread and one
// thread per connection, which hands its Connection to the handler and ends. Construction
// binds (port 0 picks a free one); Start() begins accepting; Join(), after the stop signal
// is raised, waits for every thread. Start and Join come from the owner's thread; the
// worker list is guarded by m_workersMutex, which no handler holds. RefuseFor (a handler)
// stops the listening for a while: connections are refused, the port stays the station's.
#pragma once

#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <thread>

namespace station
{
class Connection;
class StopSignal;
class TlsContext;

class Listener
{
public:
    using Handler = std::function<void(Connection&)>;

    // Throws std::runtime_error when the port cannot be bound.
    Listener(uint16_t port, const StopSignal& stop);
    ~Listener(); // Join; the owner raises the stop first
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t Port() const { return m_port; }
    // Starts the accept thread; each connection runs `handler` on a thread of its own,
    // speaking TLS with `tls` when it is not null (it must outlive Join).
    void Start(Handler handler, const TlsContext* tls = nullptr);
    // Blocks until the accept thread and every connection thread have ended; only once
    // the stop signal is raised does that happen.
    void Join() OVR_EXCLUDES(m_workersMutex, m_refuseMutex);
    // Any thread; returns at once. Refuses every connection for the next ms milliseconds of
    // the platform clock (a test's manual clock drives it), then listens again.
    void RefuseFor(uint64_t ms) OVR_EXCLUDES(m_refuseMutex);

private:
    struct Worker
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void AcceptLoop() OVR_EXCLUDES(m_workersMutex, m_refuseMutex);
    // Accept thread: waits out a refusal window and listens again; false on the stop.
    bool WaitOutRefusal() OVR_EXCLUDES(m_refuseMutex);

    const StopSignal& m_stop;
    Handler m_handler;
    const TlsContext* m_tls = nullptr;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_acceptThread;
    platform::Mutex m_workersMutex;
    std::list<Worker> m_workers OVR_GUARDED_BY(m_workersMutex);
    // Guards the listening socket's state changes against Join's close.
    platform::Mutex m_refuseMutex;
    bool m_refusing OVR_GUARDED_BY(m_refuseMutex) = false;
    uint32_t m_refuseUntil OVR_GUARDED_BY(m_refuseMutex) = 0;
    bool m_closed OVR_GUARDED_BY(m_refuseMutex) = false;
};
} // namespace station
