// What the player tells: JSON lines on standard output (--json) for scripts, and for a
// person, when standard error is a terminal, a progress line per track (title and artist,
// the position in the track and its length, bytes read of the track's size, the measured
// download rate)
// with the coming-up texts and the station's end script as they arrive. Nothing on
// standard error when it is no terminal, except the errors main prints. The station's
// texts reach the terminal cleaned of control characters (platform/TerminalText.h), so a
// server can neither move the cursor nor set the window title. Main thread only.
#pragma once

#include "StatusQueue.h"

#include <cstdint>
#include <ostream>
#include <string>

struct STrackReport
{
    uint32_t nIndex = 0; // 1 for the run's first track
    INT nTrackId = 0;
    std::string strName, strArtist, strAlbum, strFormat;
    INT nBitRate = 0; // kbit/s
    INT nSize = 0;    // bytes, as the stream format announces
    uint64_t nBytes = 0;
    std::string strSha256; // empty when neither the JSON lines nor a track check want it
    std::string strFile;   // empty when the track went to no file
    // The engine said at the track's end that it ended short of its size: the bytes are
    // the track's from its start, but not all of it.
    bool bTruncated = false;
};

class CPlayReport
{
public:
    // json: where the JSON lines go (null: none); terminal: where the person's lines go
    // (null: none).
    CPlayReport(std::ostream* pJson, std::ostream* pTerminal);

    void Status(const SEngineStatus& status);
    void TrackStarted(const STrackReport& track);
    // The terminal's progress line, at most every few tenths of a second unless bNow. The
    // position is the audio read so far, which a real-time read keeps at the time played.
    void Progress(const STrackReport& track, double dRateKbps, bool bNow = false);
    void TrackPlayed(const STrackReport& track);
    // A line for the person at the terminal.
    void Note(const std::string& strText);
    void End(uint32_t nTracks);

    static std::string StatusJson(const SEngineStatus& status);
    static std::string TrackJson(const STrackReport& track);
    static std::string EndJson(uint32_t nTracks);

private:
    void EndProgressLine();

    std::ostream* m_pJson;
    std::ostream* m_pTerminal;
    bool m_bProgressShown = false;
    DWORD m_dwLastProgress = 0;
};
