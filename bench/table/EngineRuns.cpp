#include "EngineRuns.h"

#include "EngineLibrary.h"
#include "PlayError.h"
#include "StatusQueue.h"
#include "platform/Clock.h"
#include "platform/com/BStr.h"
#include "support/TraceCapture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace bench
{
namespace
{
using Clock = std::chrono::steady_clock;
using platform::com::BStr;

constexpr DWORD kNoTrackYet = 11;
constexpr DWORD kAnswerLimitMs = 30000;
constexpr auto kReadLimit = std::chrono::seconds(120);
constexpr DWORD kTraceLimitMs = 5000;
constexpr LONG kReadSize = 65536;

double Ms(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void StartSession(IRadioEngine& engine, const std::string& strStation)
{
    const BStr station(strStation);
    const BStr empty(std::string{});
    const OVRADIO_STATUS_CALLBACK pfnCallback = &CStatusQueue::StatusCallback;
    Check(engine.StartSession(station.Get(), station.Get(), empty.Get(), empty.Get(), empty.Get(),
                              reinterpret_cast<LONG_PTR>(pfnCallback)),
          "StartSession");
}

// The next track's id, through the handshake when none is buffered: AckNotified(0), then
// the engine's status 7 or 8. Raises CPlayError when no track comes.
INT NextTrack(IRadioEngine& engine)
{
    CStatusQueue& queue = CStatusQueue::Instance();
    while (true)
    {
        queue.Take();
        INT nTrackId = 0;
        const HRESULT hr = engine.GetNextTrackID(&nTrackId);
        if (SUCCEEDED(hr))
            return nTrackId;
        CPlayError error("GetNextTrackID", hr);
        if (!error.HasErrorInfo() || error.HelpContext() != kNoTrackYet)
            throw error;
        Check(engine.AckNotified(0), "AckNotified");
        const DWORD dwDeadline = platform::GetTickCount() + kAnswerLimitMs;
        LONG nAnswer = 0;
        while (nAnswer == 0 && static_cast<LONG>(dwDeadline - platform::GetTickCount()) > 0)
        {
            queue.WaitUntil(dwDeadline);
            for (const SEngineStatus& status : queue.Take())
                if (status.nCode == 3 || status.nCode == 7 || status.nCode == 8)
                    nAnswer = status.nCode;
        }
        if (nAnswer != 7 && nAnswer != 8)
            throw CPlayError(
                std::string("no track: the engine answered ").append(std::to_string(nAnswer)));
    }
}

// Reads the open track: the time its first byte arrived, and the time of its RS_EOF.
struct STrackTimes
{
    Clock::time_point firstByte;
    Clock::time_point end;
    uint64_t nBytes = 0;
};

STrackTimes ReadTrack(IRadioEngine& engine, bool bToEnd)
{
    std::vector<char> buffer(kReadSize);
    STrackTimes times;
    const auto deadline = Clock::now() + kReadLimit;
    while (Clock::now() < deadline)
    {
        INT nStatus = RS_EOF;
        LONG nRead = 0;
        Check(engine.ReadStream(kReadSize, reinterpret_cast<LONG_PTR>(buffer.data()), &nStatus,
                                &nRead),
              "ReadStream");
        if (nStatus == RS_EOF)
        {
            times.end = Clock::now();
            return times;
        }
        if (nStatus == RS_OK && nRead > 0)
        {
            if (times.nBytes == 0)
            {
                times.firstByte = Clock::now();
                if (!bToEnd)
                    return times;
            }
            times.nBytes += static_cast<uint64_t>(nRead);
        }
    }
    throw CPlayError("a track did not end within its limit");
}

// Starts a session on the station and reads its first track: to the first byte, or to its
// end when bToEnd.
STrackTimes PlayFirstTrack(IRadioEngine& engine, const std::string& strStation, bool bToEnd)
{
    StartSession(engine, strStation);
    const INT nTrackId = NextTrack(engine);
    Check(engine.OpenStream(nTrackId), "OpenStream");
    return ReadTrack(engine, bToEnd);
}

int Fail(const CPlayError& error)
{
    std::cerr << "bench host: " << error.Text() << "\n";
    return 1;
}
} // namespace

int RunStartHost(const std::string& strStation)
{
    try
    {
        const platform::com::ComPtr<IRadioEngine> engine = CreateRadioEngine();
        const auto started = Clock::now();
        const STrackTimes times = PlayFirstTrack(*engine.Get(), strStation, false);
        engine->CloseStream();
        engine->StopSession();
        std::printf("start %.2f\n", Ms(started, times.firstByte));
        return 0;
    }
    catch (const CPlayError& error)
    {
        return Fail(error);
    }
}

int RunLatencyHost(const std::string& strStation)
{
    try
    {
        testsupport::TraceCapture trace(false);
        const platform::com::ComPtr<IRadioEngine> engine = CreateRadioEngine();
        const auto started = Clock::now();
        const STrackTimes times = PlayFirstTrack(*engine.Get(), strStation, false);
        const auto timeLine =
            trace.FirstLineContaining("Received Session Parameter File", kTraceLimitMs);
        const auto sequenceLine =
            trace.FirstLineContaining("Added track to sequence", kTraceLimitMs);
        const auto contentLine = trace.FirstLineContaining(
            "mcInternetCacheDownloader::InternetOpenAllHandles [", kTraceLimitMs);
        std::optional<testsupport::TraceCapture::SMessage> answerLine;
        if (contentLine)
            for (const auto& line : trace.Messages())
                if (line.at >= contentLine->at && line.dwKind == host::kTraceKindText &&
                    line.Text().find("InternetOpenAllHandles [") != std::string::npos &&
                    line.Text().find("- Took") != std::string::npos)
                {
                    answerLine = line;
                    break;
                }
        if (std::getenv("OVR_BENCH_SHOW_TRACE") != nullptr)
            for (const auto& line : trace.Messages())
                std::fprintf(stderr, "%8.2f %s\n", Ms(started, line.at),
                             line.Text().substr(0, 150).c_str());
        engine->CloseStream();
        engine->StopSession();
        if (!timeLine || !sequenceLine || !answerLine)
            throw CPlayError("the engine's trace did not show every phase of the start");
        std::printf("latency %.2f %.2f %.2f %.2f %.2f\n", Ms(started, timeLine->at),
                    Ms(timeLine->at, sequenceLine->at), Ms(sequenceLine->at, answerLine->at),
                    Ms(answerLine->at, times.firstByte), Ms(started, times.firstByte));
        return 0;
    }
    catch (const CPlayError& error)
    {
        return Fail(error);
    }
}

int RunTransferHost(const std::string& strStation)
{
    try
    {
        const platform::com::ComPtr<IRadioEngine> engine = CreateRadioEngine();
        const STrackTimes times = PlayFirstTrack(*engine.Get(), strStation, true);
        Check(engine->CloseStream(), "CloseStream");
        engine->StopSession();
        std::printf("transfer %llu %.6f\n", static_cast<unsigned long long>(times.nBytes),
                    Ms(times.firstByte, times.end) / 1000.0);
        return 0;
    }
    catch (const CPlayError& error)
    {
        return Fail(error);
    }
}

int RunGapHost(const std::string& strStation, int nTracks)
{
    try
    {
        const platform::com::ComPtr<IRadioEngine> engine = CreateRadioEngine();
        StartSession(*engine.Get(), strStation);
        std::string strLine = "gaps";
        Clock::time_point lastEnd;
        for (int i = 0; i < nTracks; ++i)
        {
            const INT nTrackId = NextTrack(*engine.Get());
            Check(engine->OpenStream(nTrackId), "OpenStream");
            const STrackTimes times = ReadTrack(*engine.Get(), true);
            if (times.nBytes == 0)
                throw CPlayError("a track ended without a byte");
            if (i > 0)
            {
                strLine += ' ';
                strLine += std::to_string(Ms(lastEnd, times.firstByte));
            }
            lastEnd = times.end;
            Check(engine->CloseStream(), "CloseStream");
        }
        engine->StopSession();
        std::printf("%s\n", strLine.c_str());
        return 0;
    }
    catch (const CPlayError& error)
    {
        return Fail(error);
    }
}
} // namespace bench
