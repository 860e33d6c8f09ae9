#include "Station.h"

#include "Connection.h"
#include "ResponseWriter.h"

#include <chrono>
#include <exception>
#include <stdexcept>

namespace station
{
Station::Station(StationOptions options)
    : m_options(std::move(options)),
      m_catalogue(m_options.musicFolder, m_options.trackSize, m_options.musicCacheFolder,
                  m_options.musicSeconds),
      m_log(m_options.logFile), m_listener(m_options.port, m_stop),
      m_timeRoute(m_scenario, [this] { return Now(); }),
      m_sequenceRoute(m_catalogue, m_scenario, m_grants, BaseUrl(), [this] { return Now(); }),
      m_contentRoute(m_scenario, m_grants)
{
    if (!m_options.scenarioFile.empty())
        m_scenario.LoadFile(m_options.scenarioFile);
    if (m_options.tlsCertFile.empty() != m_options.tlsKeyFile.empty())
        throw std::invalid_argument("a TLS certificate needs its key, and a key its certificate");
    if (!m_options.tlsCertFile.empty())
        m_tls = std::make_unique<TlsContext>(m_options.tlsCertFile, m_options.tlsKeyFile);
    m_listener.Start([this](Connection& connection) { Serve(connection); }, m_tls.get());
}

Station::~Station()
{
    Stop();
}

void Station::Stop()
{
    if (m_stopped.exchange(true))
        return;
    m_stop.Raise();
    m_catalogue.StopMusic();
    m_holds.Stop();
    m_log.Stop();
    m_listener.Join();
}

std::string Station::BaseUrl() const
{
    return (m_options.tlsCertFile.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
           std::to_string(Port());
}

bool Station::WaitForRequests(const RequestLog::Test& done, std::chrono::milliseconds limit)
{
    return m_log.WaitFor(done, limit);
}

bool Station::WaitForHolds(uint32_t n, std::chrono::milliseconds limit)
{
    return m_holds.WaitForHolds(n, limit);
}

uint64_t Station::Now() const
{
    if (m_options.nowSeconds)
        return m_options.nowSeconds();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

void Station::Serve(Connection& connection)
{
    const std::optional<HttpRequest> request = connection.ReadRequest();
    if (!request)
    {
        // A handshake that failed is logged, so a test sees that the client came and what
        // it refused (or that it spoke plain HTTP to a TLS port).
        if (!connection.TlsFailure().empty())
            m_log.Add({"", "", {}, 0, 0, "tls: " + connection.TlsFailure()});
        return;
    }
    Response response = Response::Refuse(400, "bad request line");
    try
    {
        if (!request->method.empty())
            response = Route(*request);
    }
    catch (const std::exception& error)
    {
        response = Response::Refuse(500, std::string("station failure: ") + error.what());
    }

    RequestRecord record{request->method, request->target, {}, 0, 0, {}};
    for (const char* name : {"Range", "User-Agent", "Content-Length", "Host"})
        if (const auto value = request->Header(name))
            record.headers.emplace_back(name, *value);
    if (const std::optional<uint64_t> refuseMs = response.faults.refuseForMs)
    {
        // The outage begins with this request: it is reset unanswered, and connections are
        // refused until the outage is over.
        m_listener.RefuseFor(*refuseMs);
        record.note = "outage: refused";
        connection.ResetOnClose();
        m_log.Add(record);
        return;
    }
    ResponseWriter(connection, m_holds, m_stop).Write(response, record);
    // Logged before the close, so a client that has seen the end finds the record.
    m_log.Add(record);
}

Response Station::Route(const HttpRequest& request)
{
    if (request.path == "/ovdk/radiotime")
        return m_timeRoute.Answer(request);
    if (request.path == "/sequence.m3u")
        return m_sequenceRoute.Answer(request);
    if (request.path.rfind("/content/", 0) == 0)
        return m_contentRoute.Answer(request);
    return Response::Refuse(404, "unknown path");
}
} // namespace station
