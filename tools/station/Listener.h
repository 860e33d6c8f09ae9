// The listening socket on 127.0.0.1 and the threads it runs: one accept thread and one
// thread per connection, which hands its Connection to the handler and ends. Construction
// binds (port 0 picks a free one); Start() begins accepting; Join(), after the stop signal
// is raised, waits for every thread. Start and Join come from the owner's thread; the
// worker list is guarded by m_workersMutex, which no handler holds.
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
    // Starts the accept thread; each connection runs `handler` on a thread of its own.
    void Start(Handler handler);
    // Blocks until the accept thread and every connection thread have ended; only once
    // the stop signal is raised does that happen.
    void Join() OVR_EXCLUDES(m_workersMutex);

private:
    struct Worker
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void AcceptLoop() OVR_EXCLUDES(m_workersMutex);

    const StopSignal& m_stop;
    Handler m_handler;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_acceptThread;
    platform::Mutex m_workersMutex;
    std::list<Worker> m_workers OVR_GUARDED_BY(m_workersMutex);
};
} // namespace station
