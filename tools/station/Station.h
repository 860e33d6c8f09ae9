// The station server: the sequence server, the time server and the content server on one
// loopback port, for tests and the demo. Construction binds 127.0.0.1 (port 0 picks a free
// one) and starts accepting; each connection gets a thread of its own that answers one
// request and closes. Stop() (or the destructor) wakes every wait through the stop signal
// and joins every thread. Tests call the other operations from any thread: the rules,
// grants, log and holds keep their own locks, the catalogue is read-only once built.
#pragma once

#include "Catalogue.h"
#include "ContentRoute.h"
#include "GrantTable.h"
#include "HoldGate.h"
#include "Listener.h"
#include "RequestLog.h"
#include "Scenario.h"
#include "SequenceRoute.h"
#include "StopSignal.h"
#include "TimeRoute.h"
#include "TlsContext.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace station
{
struct StationOptions
{
    uint16_t port = 0;
    std::string musicFolder;
    std::string scenarioFile;
    std::string logFile;
    // The size of every synthesised song part; 0 keeps each track's own.
    uint64_t trackSize = 0;
    // Where the `music` station keeps its encoded tracks between runs; empty keeps them in
    // memory only.
    std::string musicCacheFolder = MusicLibrary::DefaultCacheFolder();
    // Above 0: every `music` track lasts at most this many seconds (quick tests).
    uint32_t musicSeconds = 0;
    // Wall-clock time in seconds since 1970; the system clock when not set.
    std::function<uint64_t()> nowSeconds;
    // Both set: the station speaks TLS with this certificate chain and key (PEM files),
    // and the addresses it hands out start with https://.
    std::string tlsCertFile;
    std::string tlsKeyFile;
};

class Station
{
public:
    // How long a test waits for the station by default: long enough for a slow machine,
    // short enough that a regression fails with a message instead of a hung test.
    static constexpr std::chrono::milliseconds kWaitLimit{60000};

    // Throws std::runtime_error when the port cannot be bound, the log file cannot be
    // opened or the TLS certificate and key cannot be used, std::invalid_argument for a bad
    // scenario file or one of the TLS files without the other.
    explicit Station(StationOptions options = {});
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Blocks until every connection has ended: held and delayed answers end unsent, and a
    // music track being encoded is given up at its next encoder block.
    void Stop();
    uint16_t Port() const { return m_listener.Port(); }
    std::string BaseUrl() const;
    Scenario& Rules() { return m_scenario; }
    const Catalogue& Tracks() const { return m_catalogue; }
    std::vector<RequestRecord> Requests() const { return m_log.Records(); }
    // Blocks until `done` holds for the records, at most `limit`; false when the limit
    // passed or the station stopped first. A client may have read a whole answer before
    // the station has logged it, so tests wait here rather than read Requests().
    bool WaitForRequests(const RequestLog::Test& done,
                         std::chrono::milliseconds limit = kWaitLimit);
    // Lets every answer that a `hold` or `delay` stalls at this moment go on; one that
    // stalls later stays stalled, so a test first waits for it with WaitForHolds.
    void ReleaseHeld() { m_holds.Release(); }
    // Blocks until n answers in all (since the start) have been stalled by `hold` or
    // `delay`, at most `limit`; false when the limit passed or the station stopped first.
    bool WaitForHolds(uint32_t n, std::chrono::milliseconds limit = kWaitLimit);

private:
    // On a connection's thread: one request, its answer, its record.
    void Serve(Connection& connection);
    Response Route(const HttpRequest& request);
    uint64_t Now() const;

    StationOptions m_options;
    Catalogue m_catalogue;
    Scenario m_scenario;
    GrantTable m_grants;
    RequestLog m_log;
    HoldGate m_holds;
    StopSignal m_stop;
    std::unique_ptr<TlsContext> m_tls;
    Listener m_listener;
    TimeRoute m_timeRoute;
    SequenceRoute m_sequenceRoute;
    ContentRoute m_contentRoute;
    std::atomic<bool> m_stopped{false};
};
} // namespace station
