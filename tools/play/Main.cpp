// ovradio-play: the host player. Plays a station through the radio engine, created through
// the COM runtime as a desktop player creates it, to a folder, to standard output or as
// JSON lines; see PlayOptions.cpp for the command line.
//
// Exit codes: 0 the tracks asked for were played or the user stopped; 3 the station ended
// first; 4 a track ended short (the others were played on); 1 an error (printed with its
// HRESULT, help context and description); 2 a command line that is not understood.
#include "DemoStation.h"
#include "EngineLibrary.h"
#include "PlayError.h"
#include "PlayOptions.h"
#include "PlayReport.h"
#include "Player.h"
#include "StatusQueue.h"
#include "StopSignals.h"
#include "TrackSink.h"
#include "platform/TerminalText.h"

#include <iostream>
#include <optional>
#include <unistd.h>

namespace
{
enum EExit
{
    ePlayed = 0,
    eError = 1,
    eUsage = 2,
    eStationEnded = 3,
    eTrackShort = 4
};

int Play(const SPlayOptions& options, CStatusQueue& queue)
{
    const bool bTerminal = ::isatty(STDERR_FILENO) == 1;
    CPlayReport report(options.bJson ? &std::cout : nullptr, bTerminal ? &std::cerr : nullptr);
    std::optional<CDemoStation> demo;
    if (options.bDemo)
    {
        demo.emplace();
        report.Note("demo: the station serves on " + demo->BaseUrl() + "; runtime folder " +
                    demo->Home());
    }
    CTrackSink sink(options.strOutFolder, options.bStdout);
    CPlayer::EEnd end = CPlayer::EEnd::eStopped;
    uint32_t nShort = 0;
    {
        // Released before the demo station stops, so the engine never meets it gone.
        const platform::com::ComPtr<IRadioEngine> engine = CreateRadioEngine();
        CPlayer player(*engine.Get(), options, queue, sink, report);
        if (demo)
            player.SetTrackCheck([&demo](const STrackReport& track)
                                 { std::cerr << "demo: " << demo->CheckTrack(track) << "\n"; });
        try
        {
            end = player.Play();
        }
        catch (const CPlayError&)
        {
            report.End(player.TracksPlayed());
            throw;
        }
        report.End(player.TracksPlayed());
        nShort = player.TracksTruncated();
    }
    if (nShort > 0)
    {
        report.Note(std::to_string(nShort) + " track" + (nShort == 1 ? "" : "s") + " ended short");
        return eTrackShort;
    }
    return end == CPlayer::EEnd::eStationEnded ? eStationEnded : ePlayed;
}
} // namespace

int main(int argc, char** argv)
{
    const PlayCommandLine line = ParsePlayOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (std::holds_alternative<SPlayHelp>(line))
    {
        std::cout << PlayUsage();
        return ePlayed;
    }
    if (const std::string* pProblem = std::get_if<std::string>(&line))
    {
        std::cerr << "ovradio-play: " << *pProblem << "\n" << PlayUsage();
        return eUsage;
    }
    CStatusQueue& queue = CStatusQueue::Instance();
    // Before any other thread starts, so that every thread inherits the blocked signals.
    CStopSignals signals(queue);
    try
    {
        return Play(std::get<SPlayOptions>(line), queue);
    }
    // An error's description may quote a server's text.
    catch (const CPlayError& error)
    {
        std::cerr << "ovradio-play: " << platform::TerminalSafe(error.Text()) << "\n";
    }
    catch (const std::exception& error)
    {
        std::cerr << "ovradio-play: " << platform::TerminalSafe(error.what()) << "\n";
    }
    return eError;
}
