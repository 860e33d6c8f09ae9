#include "Station.h"

#include "StationText.h"
#include "platform/JsonText.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace station
{
namespace
{
constexpr std::size_t kMaxHead = 65536;
constexpr std::size_t kChunk = 16384;
constexpr std::size_t kMaxGrants = 100000;
constexpr std::size_t kLongAlbum = 5000; // makes a track line longer than a read block

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Reason(int status)
{
    switch (status)
    {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// A number written as plain decimal digits, at most 9 of them.
std::optional<uint32_t> Decimal(std::string_view text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    return static_cast<uint32_t>(std::stoul(std::string(text)));
}

// The raw MAGIC= value of a target: from after "MAGIC=" to the next '&', which must exist.
std::optional<std::string> RawMagicValue(const std::string& target)
{
    const std::size_t start = target.find("MAGIC=");
    if (start == std::string::npos)
        return std::nullopt;
    const std::size_t end = target.find('&', start + 6);
    if (end == std::string::npos)
        return std::nullopt;
    return target.substr(start + 6, end - start - 6);
}

struct MagicParts
{
    std::string prefix, placeholder, suffix;
};

std::optional<MagicParts> SplitMagic(const std::string& value)
{
    const std::size_t first = value.find("%3a");
    if (first == std::string::npos)
        return std::nullopt;
    const std::size_t second = value.find("%3a", first + 3);
    if (second == std::string::npos)
        return std::nullopt;
    return MagicParts{value.substr(0, first + 3), value.substr(first + 3, second - first - 3),
                      value.substr(second)};
}
} // namespace

struct Station::Request
{
    std::string method, target, path, query;
    std::vector<std::pair<std::string, std::string>> headers;

    std::optional<std::string> Header(const std::string& name) const
    {
        for (const auto& [key, value] : headers)
            if (Lower(key) == Lower(name))
                return value;
        return std::nullopt;
    }
};

struct Station::Response
{
    int status = 200;
    std::string contentType = "text/plain";
    std::string extraHeaders;
    std::string body;                  // used when part is null
    const ContentPart* part = nullptr; // content bytes [offset, offset + length)
    uint32_t offset = 0;
    uint32_t length = 0;
    Faults faults;
    std::string note;

    static Response Refuse(int status, std::string note)
    {
        Response response;
        response.status = status;
        response.body = note + "\n";
        response.note = std::move(note);
        return response;
    }
};

Station::Station(StationOptions options)
    : m_options(std::move(options)), m_catalogue(m_options.musicFolder)
{
    if (!m_options.scenarioFile.empty())
        m_scenario.LoadFile(m_options.scenarioFile);
    if (!m_options.logFile.empty())
    {
        m_logFile.open(m_options.logFile, std::ios::app);
        if (!m_logFile)
            throw std::runtime_error("cannot open log file " + m_options.logFile);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_stopRead = pipeFds[0];
    m_stopWrite = pipeFds[1];

    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_options.port);
    socklen_t length = sizeof address;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        listen(m_listen, 64) ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length))
    {
        const std::string error = std::strerror(errno);
        Stop();
        throw std::runtime_error("cannot listen on port " + std::to_string(m_options.port) + ": " +
                                 error);
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

Station::~Station()
{
    Stop();
}

void Station::Stop()
{
    if (m_stopped.exchange(true))
        return;
    // The byte is never read: the pipe stays readable, so every poll sees the stop.
    if (m_stopWrite >= 0 && write(m_stopWrite, "x", 1) != 1)
        std::perror("station stop");
    {
        std::lock_guard lock(m_waitMutex);
    }
    m_waitChanged.notify_all(); // held answers see m_stopped
    {
        std::lock_guard lock(m_logMutex);
    }
    m_logged.notify_all();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    std::list<Connection> connections;
    {
        std::lock_guard lock(m_connectionMutex);
        connections.swap(m_connections);
    }
    for (Connection& connection : connections)
        connection.thread.join();
    for (int* fd : {&m_listen, &m_stopRead, &m_stopWrite})
        if (*fd >= 0)
            close(std::exchange(*fd, -1));
}

std::string Station::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::vector<RequestRecord> Station::Requests() const
{
    std::lock_guard lock(m_logMutex);
    return m_records;
}

std::vector<RequestRecord>
Station::WaitForRequests(const std::function<bool(const std::vector<RequestRecord>&)>& done)
{
    std::unique_lock lock(m_logMutex);
    m_logged.wait(lock, [&] { return m_stopped || done(m_records); });
    return m_records;
}

void Station::ReleaseHeld()
{
    {
        std::lock_guard lock(m_waitMutex);
        ++m_releases;
    }
    m_waitChanged.notify_all();
}

void Station::WaitForHolds(uint32_t n)
{
    std::unique_lock lock(m_waitMutex);
    m_waitChanged.wait(lock, [&] { return m_holds >= n || m_stopped; });
}

bool Station::Hold(std::optional<uint32_t> limitMs)
{
    std::unique_lock lock(m_waitMutex);
    ++m_holds;
    m_waitChanged.notify_all();
    const uint64_t releases = m_releases;
    const auto released = [&] { return m_releases != releases || m_stopped; };
    if (limitMs)
        m_waitChanged.wait_for(lock, std::chrono::milliseconds(*limitMs), released);
    else
        m_waitChanged.wait(lock, released);
    return !m_stopped;
}

uint64_t Station::Now() const
{
    if (m_options.nowSeconds)
        return m_options.nowSeconds();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

bool Station::WaitFor(int fd, short events) const
{
    pollfd fds[2] = {{fd, events, 0}, {m_stopRead, POLLIN, 0}};
    for (;;)
    {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && fds[1].revents == 0;
    }
}

bool Station::Pause(uint32_t ms) const
{
    pollfd stop = {m_stopRead, POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        const int ready = poll(&stop, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return false;
    }
}

void Station::AcceptLoop()
{
    while (WaitFor(m_listen, POLLIN))
    {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(m_connectionMutex);
        // Join the connections that have ended, so the list stays short.
        for (auto it = m_connections.begin(); it != m_connections.end();)
        {
            if (it->done->load())
            {
                it->thread.join();
                it = m_connections.erase(it);
            }
            else
                ++it;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        m_connections.push_back({std::thread(
                                     [this, fd, done]
                                     {
                                         Serve(fd);
                                         done->store(true);
                                     }),
                                 done});
    }
}

void Station::Serve(int fd)
{
    std::string received;
    std::size_t headEnd = std::string::npos;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos)
    {
        char buffer[4096];
        if (received.size() > kMaxHead || !WaitFor(fd, POLLIN))
            break;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    if (headEnd == std::string::npos)
    {
        close(fd);
        return;
    }

    Request request;
    std::size_t lineEnd = received.find("\r\n");
    {
        const std::string line = received.substr(0, lineEnd);
        const std::size_t space1 = line.find(' ');
        const std::size_t space2 = line.find(' ', space1 + 1);
        if (space1 != std::string::npos && space2 != std::string::npos)
        {
            request.method = line.substr(0, space1);
            request.target = line.substr(space1 + 1, space2 - space1 - 1);
        }
    }
    while (lineEnd < headEnd)
    {
        const std::size_t next = received.find("\r\n", lineEnd + 2);
        const std::string line = received.substr(lineEnd + 2, next - lineEnd - 2);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos)
        {
            const std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
            request.headers.emplace_back(line.substr(0, colon), valueStart == std::string::npos
                                                                    ? ""
                                                                    : line.substr(valueStart));
        }
        lineEnd = next;
    }
    const std::size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos)
        request.query = request.target.substr(question + 1);

    // A body (none is expected) is read and dropped, so closing does not reset the client.
    std::size_t bodyWanted = Decimal(request.Header("Content-Length").value_or("0")).value_or(0);
    std::size_t bodyHave = received.size() - headEnd - 4;
    while (bodyHave < bodyWanted && bodyHave < kMaxHead && WaitFor(fd, POLLIN))
    {
        char buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        bodyHave += static_cast<std::size_t>(got);
    }

    Response response = Response::Refuse(400, "bad request line");
    try
    {
        if (!request.method.empty())
            response = Route(request);
    }
    catch (const std::exception& error)
    {
        response = Response::Refuse(500, std::string("station failure: ") + error.what());
    }
    Send(fd, request, response);
}

Station::Response Station::Route(const Request& request)
{
    if (request.path == "/ovdk/radiotime")
        return AnswerTime(request);
    if (request.path == "/sequence.m3u")
        return AnswerSequence(request);
    if (request.path.rfind("/content/", 0) == 0)
        return AnswerContent(request);
    return Response::Refuse(404, "unknown path");
}

Station::Response Station::AnswerTime(const Request&)
{
    Response response;
    response.faults = m_scenario.Match(RequestKind::Time, "", 0, "");
    response.contentType = "text/xml";
    response.body = "<?xml version=\"1.0\"?>\n<SESSIONPARMS>\n  <INFO strTimeStamp=\"" +
                    std::to_string(Now()) + "\"/>\n</SESSIONPARMS>\n";
    return response;
}

Station::Response Station::AnswerSequence(const Request& request)
{
    const std::string stationId = FormDecode(QueryValue(request.query, "STATION_ID").value_or(""));
    const std::string uid = UidFromOvuid(QueryValue(request.query, "OVUID").value_or(""));
    const std::string log = QueryValue(request.query, "LOG").value_or("");

    Response response;
    response.faults = m_scenario.Match(RequestKind::Sequence, stationId, 0, "");
    const Faults& faults = response.faults;
    const uint32_t hours = static_cast<uint32_t>(Now() / 3600);
    const bool signedOk = !uid.empty() && (log == SequenceLogValue(uid, hours) ||
                                           log == SequenceLogValue(uid, hours - 1));
    const std::vector<uint32_t>* trackIds = m_catalogue.Station(stationId);

    int code = faults.sequenceStatus.value_or(200);
    if (!signedOk)
        code = 500, response.note = "bad LOG signature";
    else if (!trackIds)
        code = 404, response.note = "unknown station";
    const bool withTracks = (code == 200 || code == 245) && !faults.noTracks;

    const std::string eol = faults.crlf ? "\r\n" : "\n";
    const uint32_t sequence = ++m_sequenceCount;
    std::string body;
    if (!faults.noStatus)
        body += "status_code=" + std::to_string(code) + eol;
    body += "session_id=" + std::to_string(4000 + sequence) + eol;
    body += "cachelow=5" + eol + "cachehigh=15" + eol + "numcaches=4" + eol + "minbr=64" + eol +
            "startthresh=3" + eol + "minpreconnectcache=2" + eol + "ccdwindow=5" + eol +
            "ccdthresh=25" + eol;
    if (withTracks)
    {
        // Each sequence starts one track further on, so a demo hears them all in turn.
        const std::size_t count = trackIds->size();
        for (std::size_t i = 0; i < count; ++i)
        {
            const CatalogueTrack* track =
                m_catalogue.Track((*trackIds)[(i + sequence - 1) % count]);
            const bool broken = faults.badLine && *faults.badLine == i + 1;
            const bool longAlbum = faults.longLine && *faults.longLine == i + 1;
            body += TrackLine(*track, uid, broken, longAlbum) + eol;
        }
    }
    response.contentType = "audio/x-mpegurl";
    response.body = body;
    return response;
}

std::string Station::ContentAddress(const CatalogueTrack& track, const std::string& part,
                                    const std::string& uid)
{
    // The MAGIC= value is prefix %3a placeholder %3a suffix; some suffixes carry '+' and
    // escapes so that clients must decode the value as it is signed.
    const std::string id = std::to_string(track.trackid);
    const std::string placeholder(track.trackid % 2 == 0 ? 8 : 6, 'Z');
    static const char* const kSuffixes[] = {"-", "+", "%2B"};
    std::string value = "ovr%3a" + placeholder + "%3a" + id + kSuffixes[track.trackid % 3] + part;
    if (track.trackid % 3 == 2)
        value += "%20x";

    uint64_t token = 0;
    {
        std::lock_guard lock(m_grantMutex);
        token = m_nextToken++;
        m_grants[token] = Grant{uid, track.trackid, part, value};
        if (m_grants.size() > kMaxGrants)
            m_grants.erase(m_grants.begin());
    }
    return BaseUrl() + "/content/" + id + "/" + part + ".mp3?TOK=" + std::to_string(token) +
           "&MAGIC=" + value + "&CID=" + id;
}

std::string Station::TrackLine(const CatalogueTrack& track, const std::string& uid, bool broken,
                               bool longAlbum)
{
    const auto encode = [](const std::string& text)
    {
        std::string out;
        for (const unsigned char c : text)
        {
            if (std::isalnum(c))
                out += static_cast<char>(c);
            else if (c == ' ')
                out += '+';
            else
            {
                char escape[4];
                std::snprintf(escape, sizeof escape, "%%%02X", c);
                out += escape;
            }
        }
        return out;
    };
    const std::string id = std::to_string(track.trackid);
    std::string line =
        "OVDK::trackid=" + id + "::track=" + encode(track.title) +
        "::artist=" + encode(track.artist) + "::artistid=" + id +
        "::album=" + (longAlbum ? std::string(kLongAlbum, 'A') : encode(track.album)) +
        "::albumid=" + id + "::songurl=" + ContentAddress(track, "song", uid) +
        "::weburl=" + BaseUrl() + "/web/" + id +
        "::stationtext=" + encode("Now playing " + track.title) + "::arturl=" + BaseUrl() +
        "/art/" + id + ".jpg";
    if (!broken)
        line += "::songbr=" + std::to_string(track.bitrateKbps);
    line += "::songsize=" + std::to_string(track.song.size) +
            "::skip=1::nextdisplay=" + encode("Coming up: " + track.title) +
            "::qualityname=" + encode(std::to_string(track.bitrateKbps) + " kbps") +
            "::afd=mp3::numchans=" + std::to_string(track.channels) +
            "::samplerate=" + std::to_string(track.sampleRate) + "::songenc=mp3::";
    if (track.cache)
        line += "cacheid=" + track.cacheid + "::cacheurl=" + ContentAddress(track, "cache", uid) +
                "::cachesize=" + std::to_string(track.cache->size) +
                "::splitcache=" + std::to_string(track.splitcache) +
                "::splitsong=" + std::to_string(track.splitsong) + "::";
    return line + "retry=30::";
}

Station::Response Station::AnswerContent(const Request& request)
{
    // /content/<trackid>/<part>.mp3
    const std::string rest = request.path.substr(9);
    const std::size_t slash = rest.find('/');
    const auto trackid = Decimal(rest.substr(0, slash));
    const std::string part =
        slash == std::string::npos ? "" : rest.substr(slash + 1, rest.size() - slash - 5);
    const CatalogueTrack* track = trackid ? m_catalogue.Track(*trackid) : nullptr;
    const ContentPart* content = !track                            ? nullptr
                                 : part == "song"                  ? &track->song
                                 : part == "cache" && track->cache ? &*track->cache
                                                                   : nullptr;
    if (!content || rest.size() < slash + 5 || rest.substr(rest.size() - 4) != ".mp3")
        return Response::Refuse(404, "unknown content");

    Response response;
    response.faults = m_scenario.Match(RequestKind::Content, "", *trackid, part);

    Grant grant;
    {
        std::lock_guard lock(m_grantMutex);
        const auto token = Decimal(QueryValue(request.query, "TOK").value_or(""));
        const auto it = token ? m_grants.find(*token) : m_grants.end();
        if (it == m_grants.end() || it->second.trackid != *trackid || it->second.part != part)
            return Response::Refuse(403, "unknown token");
        grant = it->second;
    }

    // The placeholder must hold the digits signed for the identifier the address was made for.
    const auto received = RawMagicValue(request.target);
    const auto got = received ? SplitMagic(*received) : std::nullopt;
    const auto issued = SplitMagic(grant.magicValue);
    if (!got || !issued || got->prefix != issued->prefix || got->suffix != issued->suffix ||
        got->placeholder !=
            MagicDigits(FormDecode(grant.magicValue), grant.uid, issued->placeholder.size()))
        return Response::Refuse(403, "bad MAGIC signature");

    // A resumed request names its offset in X-Range= and signs it with RETRY=.
    std::optional<uint32_t> offset;
    const std::size_t xrange = request.target.find("&X-Range=");
    if (xrange != std::string::npos)
    {
        const std::string value =
            QueryValue(request.target.substr(xrange + 1), "X-Range").value_or("");
        offset = value.size() > 1 && value.back() == '-'
                     ? Decimal(value.substr(0, value.size() - 1))
                     : std::nullopt;
        const std::string token =
            QueryValue(request.target.substr(xrange + 1), "RETRY").value_or("");
        if (!offset || token != RetryToken(request.target.substr(0, xrange), grant.uid, *offset))
            return Response::Refuse(403, "bad RETRY token");
    }

    uint32_t first = 0;
    if (const auto range = request.Header("Range"))
    {
        const std::string& rangeText = *range;
        const std::size_t dash = rangeText.find('-');
        const auto start = rangeText.rfind("bytes=", 0) == 0 && dash != std::string::npos
                               ? Decimal(rangeText.substr(6, dash - 6))
                               : std::nullopt;
        if (!start || (offset && *start != *offset))
            return Response::Refuse(400, "bad Range header");
        if (*start >= content->size)
        {
            response = Response::Refuse(416, "range beyond the end");
            response.extraHeaders =
                "Content-Range: bytes */" + std::to_string(content->size) + "\r\n";
            return response;
        }
        first = *start;
        response.status = 206;
        response.extraHeaders = "Content-Range: bytes " + std::to_string(first) + "-" +
                                std::to_string(content->size - 1) + "/" +
                                std::to_string(content->size) + "\r\n";
    }
    response.contentType = "audio/mpeg";
    response.extraHeaders += "Accept-Ranges: bytes\r\n";
    response.part = content;
    response.offset = first;
    response.length = content->size - first;
    return response;
}

void Station::Send(int fd, const Request& request, Response& response)
{
    const Faults& faults = response.faults;
    RequestRecord record{request.method, request.target, {}, 0, 0, response.note};
    for (const char* name : {"Range", "User-Agent", "Content-Length", "Host"})
        if (const auto value = request.Header(name))
            record.headers.emplace_back(name, *value);

    if (faults.httpStatus && *faults.httpStatus != response.status)
    {
        const Faults kept = faults;
        response = Response::Refuse(*faults.httpStatus, "status fault");
        response.faults = kept;
    }
    record.status = response.status;
    if (faults.delayMs && !Hold(*faults.delayMs))
    {
        record.note += " (stopped)";
        Log(record);
        close(fd);
        return;
    }

    const uint32_t length =
        response.part ? response.length : static_cast<uint32_t>(response.body.size());
    const std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                             Reason(response.status) + "\r\nContent-Type: " + response.contentType +
                             "\r\nContent-Length: " + std::to_string(length) + "\r\n" +
                             response.extraHeaders + "Connection: close\r\n\r\n";
    uint32_t limit = length;
    if (faults.cutAfter)
        limit = std::min(limit, *faults.cutAfter), record.note += " cut";
    if (faults.resetAfter)
        limit = std::min(limit, *faults.resetAfter), record.note += " reset";

    const auto sendAll = [&](const char* data, std::size_t count)
    {
        while (count > 0)
        {
            if (!WaitFor(fd, POLLOUT))
                return false;
            const ssize_t sent = send(fd, data, count, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            data += sent;
            count -= static_cast<std::size_t>(sent);
        }
        return true;
    };

    // A hold stalls the answer once its byte count has gone out, until released.
    bool held = false;
    const auto holdHere = [&]
    {
        if (held || !faults.holdAfter || record.bytesSent != *faults.holdAfter)
            return true;
        held = true;
        record.note += " held";
        return Hold(std::nullopt);
    };

    bool ok = sendAll(head.data(), head.size()) && holdHere();
    const auto start = std::chrono::steady_clock::now();
    std::size_t chunk = kChunk;
    if (faults.bytesPerSecond)
        chunk = std::clamp<std::size_t>(*faults.bytesPerSecond / 20, 1, kChunk);
    while (ok && record.bytesSent < limit)
    {
        uint64_t count = std::min<uint64_t>(chunk, limit - record.bytesSent);
        if (!held && faults.holdAfter && *faults.holdAfter > record.bytesSent)
            count = std::min<uint64_t>(count, *faults.holdAfter - record.bytesSent);
        const std::string bytes =
            response.part ? ReadPart(*response.part,
                                     response.offset + static_cast<uint32_t>(record.bytesSent),
                                     static_cast<uint32_t>(count))
                          : response.body.substr(record.bytesSent, count);
        if (bytes.empty())
            break;
        ok = sendAll(bytes.data(), bytes.size());
        if (ok)
            record.bytesSent += bytes.size();
        ok = ok && holdHere();
        if (ok && faults.bytesPerSecond && *faults.bytesPerSecond > 0)
        {
            // Hold the average at the limit: wait until the bytes sent are due.
            const auto due =
                start + std::chrono::milliseconds(record.bytesSent * 1000 / *faults.bytesPerSecond);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                due - std::chrono::steady_clock::now());
            if (wait.count() > 0)
                ok = Pause(static_cast<uint32_t>(wait.count()));
        }
    }
    if (faults.resetAfter && record.bytesSent >= *faults.resetAfter)
    {
        // Closing with a zero linger time sends a reset instead of the normal end.
        const linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    // Logged before the close, so a client that has seen the end finds the record.
    Log(record);
    close(fd);
}

void Station::Log(const RequestRecord& record)
{
    std::lock_guard lock(m_logMutex);
    m_records.push_back(record);
    m_logged.notify_all();
    if (!m_logFile.is_open())
        return;
    std::string line = "{\"method\":" + platform::JsonString(record.method) +
                       ",\"target\":" + platform::JsonString(record.target) + ",\"headers\":{";
    for (std::size_t i = 0; i < record.headers.size(); ++i)
        line += (i ? "," : "") + platform::JsonString(record.headers[i].first) + ":" +
                platform::JsonString(record.headers[i].second);
    line += "},\"status\":" + std::to_string(record.status) +
            ",\"bytes\":" + std::to_string(record.bytesSent);
    if (!record.note.empty())
        line += ",\"note\":" + platform::JsonString(record.note);
    m_logFile << line << "}\n";
    m_logFile.flush();
}
} // namespace station
