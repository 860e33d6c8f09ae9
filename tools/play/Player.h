// Plays a station through IRadioEngine as a desktop player does: StartSession with the
// status callback, then per track GetNextTrackID (with the handshake after code 11), the
// track getters, OpenStream, ReadStream until RS_EOF, CloseStream; StopSession at the end,
// whatever ends the run. Statuses reach it through the status queue and are handled on
// this thread between calls. Main thread only: the engine's calls all come from here.
// The handshake after code 11 is the host library's (CTrackHandshake).
//
// A track that ended short: ReadStream fails with code 17 at its end. The player keeps
// what it got, says so (on the terminal and "truncated": true on the JSON line) and plays
// on; main then exits with 4.
#pragma once

#include "PlayOptions.h"
#include "PlayReport.h"
#include "StatusQueue.h"
#include "TrackHandshake.h"
#include "TrackSink.h"

#include <functional>
#include <ovradio/RadioEngine.h>

class CPlayer
{
public:
    enum class EEnd
    {
        eTracksPlayed, // as many as asked for
        eStopped,      // by a signal, or standard output's reader went away
        eStationEnded  // the station ended before
    };

    CPlayer(IRadioEngine& engine, const SPlayOptions& options, CStatusQueue& queue,
            CTrackSink& sink, CPlayReport& report);

    // Raises CPlayError for an engine call that fails, a handshake that gets no track, or
    // output that cannot be written.
    EEnd Play();
    uint32_t TracksPlayed() const { return m_nPlayed; }
    // Tracks whose end the engine reported short (ReadStream's code 17); they count as
    // played too.
    uint32_t TracksTruncated() const { return m_nTruncated; }
    // Called after each track has been played and reported; may raise CPlayError.
    void SetTrackCheck(std::function<void(const STrackReport&)> check)
    {
        m_check = std::move(check);
    }

private:
    using ENext = CTrackHandshake::ENext;

    void StartSession();
    // False when a stop came during the track.
    bool PlayTrack(INT nTrackId);
    // Reports every queued status; the handshake notes its answer and the station's end.
    void HandleStatuses();
    bool Stopping() const { return m_queue.StopRequested() || m_bReaderGone; }
    // Waits until the tick count reaches dwDeadline, handling statuses meanwhile; ends
    // early on a stop.
    void PaceUntil(DWORD dwDeadline);

    IRadioEngine& m_engine;
    const SPlayOptions& m_options;
    CStatusQueue& m_queue;
    CTrackSink& m_sink;
    CPlayReport& m_report;
    uint32_t m_nPlayed = 0;
    uint32_t m_nTruncated = 0;
    bool m_bReaderGone = false;
    CTrackHandshake m_handshake;
    std::function<void(const STrackReport&)> m_check;
};
