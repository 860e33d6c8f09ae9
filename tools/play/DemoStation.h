// What --demo sets up before the engine is created: the station server's library on a
// loopback port in this process, and a runtime folder whose preferences point the engine
// at it ("OVRadio" "SequenceUrl" and "TimeServer"). The folder is a temporary one, removed
// at the end, unless OVRADIO_HOME names one without a preferences file of the user's: the
// demo then writes its own there (marked as the demo's on its first line) and removes it
// at the end. A preferences file the demo did not write is never changed. Main thread;
// the station serves on threads of its own until the destructor stops it (after the
// engine is gone).
#pragma once

#include <memory>
#include <string>

struct STrackReport;

namespace station
{
class Station;
}

class CDemoStation
{
public:
    // Raises CPlayError when the folder cannot be made or the station cannot start.
    CDemoStation();
    ~CDemoStation();
    CDemoStation(const CDemoStation&) = delete;
    CDemoStation& operator=(const CDemoStation&) = delete;

    std::string BaseUrl() const;
    // The runtime folder in use.
    const std::string& Home() const { return m_strHome; }
    // Checks a played track against the station: its digest is that of the bytes the
    // station's library served, and its file (when there is one) is MPEG audio, whole
    // frames of the announced duration. What was found, as a line for the person; raises
    // CPlayError when the track fails a check.
    std::string CheckTrack(const STrackReport& track) const;

private:
    void Start();
    void Close();

    std::string m_strHome;
    bool m_bTemporaryHome = false;
    bool m_bOwnPreferences = false; // the demo wrote the preferences file of m_strHome
    std::unique_ptr<station::Station> m_pStation;
};
