// A client's side of ovradio-station for the station tests, over raw sockets: one HTTP
// exchange per connection, signed sequence requests, the fields of the answers, and the
// synthesised content computed from the published byte formula, not with the station's
// helpers.
#pragma once

#include "Station.h"
#include "host/Md5.h"
#include "support/ContentSigning.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace stationtest
{
using testsupport::RetryToken;
using testsupport::Sign;

inline constexpr uint64_t kNow = 1700003600ull * 1 + 1234; // a fixed wall clock for the station
inline constexpr const char* kUid = "U1-abc";

struct Answer
{
    int status = 0;
    std::string head;
    std::string body;
    bool reset = false;

    std::string Header(const std::string& name) const
    {
        const std::size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return {};
        const std::size_t start = at + name.size() + 4;
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

// `receiveBuffer` above 0 makes the client's socket buffer that small, so the station
// must wait for the client to read. A read that waits more than 60 s fails the test
// instead of hanging it.
inline int Connect(uint16_t port, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    return fd;
}

// One HTTP exchange on a fresh connection, read until the server closes.
inline Answer Exchange(uint16_t port, const std::string& method, const std::string& target,
                       const std::string& extraHeaders = {}, int receiveBuffer = 0)
{
    const int fd = Connect(port, receiveBuffer);
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
    EXPECT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), 0));
    std::string received;
    Answer answer;
    for (;;)
    {
        char buffer[8192];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == ECONNRESET)
            answer.reset = true;
        if (got <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return answer;
    answer.head = received.substr(0, headEnd + 2);
    answer.body = received.substr(headEnd + 4);
    answer.status = std::atoi(answer.head.c_str() + 9);
    return answer;
}

inline std::string LogValue(const std::string& uid, uint64_t hours)
{
    return host::Md5Hex(uid + std::to_string(hours) + "Harbor Lantern Quill Meadow Signal");
}

inline std::string SequenceTarget(const std::string& station, const std::string& ovuid,
                                  const std::string& log)
{
    return "/sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=" + ovuid + "&STATION_ID=" + station +
           "&DISPSTATION=x&VERSION=1.0&GRANT=0&LANG=ENU&TOKEN=0&AFD=mp3&CCD=128&USR_INFO=&TIME=0"
           "&PJB=0&SEQABORT=0&LOG=" +
           log;
}

inline std::string PathOf(const std::string& url)
{
    return url.substr(url.find('/', 7));
}

// The path of a signed address resumed from `offset`, its token for `uid`.
inline std::string ResumePath(const std::string& signedUrl, uint64_t offset,
                              const std::string& uid = kUid)
{
    return PathOf(signedUrl) + "&X-Range=" + std::to_string(offset) +
           "-&RETRY=" + RetryToken(signedUrl, uid, offset);
}

inline std::string Field(const std::string& line, const std::string& key)
{
    const std::size_t start = line.find("::" + key + "=");
    if (start == std::string::npos)
        return {};
    const std::size_t valueStart = start + key.size() + 3;
    return line.substr(valueStart, line.find("::", valueStart) - valueStart);
}

inline std::vector<std::string> TrackLines(const std::string& body)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while ((at = body.find("OVDK::", at)) != std::string::npos)
    {
        const std::size_t end = body.find('\n', at);
        lines.push_back(body.substr(at, end - at));
        at = end;
    }
    return lines;
}

// The synthesised content: a frame header at every 417th byte, pattern bytes between.
inline uint8_t Expected(uint32_t salt, uint64_t offset)
{
    static const uint8_t header[4] = {0xFF, 0xFB, 0x90, 0x04};
    if (offset % 417 < 4)
        return header[offset % 417];
    return static_cast<uint8_t>((offset * 31u + uint64_t{salt} * 17u + offset / 417) & 0xFF);
}

inline bool MatchesPattern(const std::string& bytes, uint32_t salt, uint64_t from)
{
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (static_cast<uint8_t>(bytes[i]) != Expected(salt, from + i))
            return false;
    return !bytes.empty();
}

class StationTestBase : public ::testing::Test
{
protected:
    station::Station& Start(station::StationOptions options = {})
    {
        options.nowSeconds = [] { return kNow; };
        m_station = std::make_unique<station::Station>(options);
        return *m_station;
    }
    Answer Sequence(const std::string& stationId, const std::string& ovuid = kUid,
                    std::optional<std::string> log = std::nullopt)
    {
        return Exchange(
            m_station->Port(), "POST",
            SequenceTarget(stationId, ovuid, log.value_or(LogValue(kUid, kNow / 3600))));
    }
    std::vector<std::string> Tracks(const std::string& stationId)
    {
        const Answer answer = Sequence(stationId);
        EXPECT_EQ(200, answer.status);
        return TrackLines(answer.body);
    }

    testsupport::TempHome home; // outlives the station, which may write into it
    std::unique_ptr<station::Station> m_station;
};
} // namespace stationtest
