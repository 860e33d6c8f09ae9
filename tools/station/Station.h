// The station server: the sequence server, the time server and the content server on
// one loopback port, for tests and the demo. Construction binds 127.0.0.1 (port 0 picks
// a free one) and starts the accept thread; each connection gets a thread of its own
// that answers one request and closes. Stop() (or the destructor) wakes every thread
// through a stop pipe that each poll() watches, and joins them all.
// The grants of handed-out content addresses and the request log are guarded by their
// own mutexes; the catalogue is read-only once built.
#pragma once

#include "Catalogue.h"
#include "Scenario.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace station
{
struct StationOptions
{
    uint16_t port = 0;
    std::string musicFolder;
    std::string scenarioFile;
    std::string logFile;
    // Wall-clock time in seconds since 1970; the system clock when not set.
    std::function<uint64_t()> nowSeconds;
};

// One answered request, as the log records it.
struct RequestRecord
{
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers; // the ones that matter
    int status = 0;
    uint64_t bytesSent = 0; // body bytes
    std::string note;       // why a request was refused or what fault applied
};

class Station
{
public:
    // Throws std::runtime_error when the port cannot be bound or a file cannot be read.
    explicit Station(StationOptions options = {});
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void Stop();
    uint16_t Port() const { return m_port; }
    std::string BaseUrl() const;
    Scenario& Rules() { return m_scenario; }
    const Catalogue& Tracks() const { return m_catalogue; }
    std::vector<RequestRecord> Requests() const;
    // Waits until `done` holds for the records, or the station stops; the records then.
    // A client may have read a whole answer before the station has logged it.
    std::vector<RequestRecord>
    WaitForRequests(const std::function<bool(const std::vector<RequestRecord>&)>& done);
    // Lets every answer that a `hold` or `delay` fault stalls at this moment go on; one
    // that stalls later stays stalled, so a test first waits for it with WaitForHolds.
    void ReleaseHeld();
    // Waits until n answers in all (since the start) have been stalled by `hold` or
    // `delay`, or the station stops; a test then knows the client is waiting for them.
    void WaitForHolds(uint32_t n);

private:
    struct Request;
    struct Response;
    struct Grant
    {
        std::string uid;
        uint32_t trackid = 0;
        std::string part;
        std::string magicValue; // as handed out, placeholder included
    };
    struct Connection
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void AcceptLoop();
    void Serve(int fd);
    Response Route(const Request& request);
    Response AnswerTime(const Request& request);
    Response AnswerSequence(const Request& request);
    Response AnswerContent(const Request& request);
    std::string TrackLine(const CatalogueTrack& track, const std::string& uid, bool broken,
                          bool longAlbum);
    std::string ContentAddress(const CatalogueTrack& track, const std::string& part,
                               const std::string& uid);
    void Send(int fd, const Request& request, Response& response);
    bool WaitFor(int fd, short events) const;
    bool Pause(uint32_t ms) const;
    // Waits until ReleaseHeld(), the limit (none: no limit) or Stop; false on Stop.
    bool Hold(std::optional<uint32_t> limitMs);
    void Log(const RequestRecord& record);
    uint64_t Now() const;

    StationOptions m_options;
    Catalogue m_catalogue;
    Scenario m_scenario;
    int m_listen = -1;
    int m_stopRead = -1;
    int m_stopWrite = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopped{false};
    std::thread m_acceptThread;
    std::mutex m_connectionMutex;
    std::list<Connection> m_connections;
    std::mutex m_grantMutex;
    uint64_t m_nextToken = 1;
    std::map<uint64_t, Grant> m_grants;
    std::atomic<uint32_t> m_sequenceCount{0};
    std::mutex m_waitMutex; // guards the two counts below
    std::condition_variable m_waitChanged;
    uint32_t m_holds = 0;
    uint64_t m_releases = 0;
    mutable std::mutex m_logMutex;
    std::condition_variable m_logged;
    std::ofstream m_logFile;
    std::vector<RequestRecord> m_records;
};
} // namespace station
