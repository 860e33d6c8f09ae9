// What the element plays: its properties, as ovradio-play's options name them. A plain
// value; the element copies it under its lock and hands the copy to the engine thread.
#pragma once

#include <cstdint>
#include <string>

struct SSessionSettings
{
    std::string strStation;  // the station id; required
    std::string strName;     // the station's display name; the station id when empty
    std::string strAFD;      // audio format description
    std::string strCCD;      // client capabilities
    std::string strUserInfo; // "::id=...::usr_info=...::"
    uint32_t nMaxTracks = 0; // tracks before the end of the stream; 0: until the station ends

    const std::string& DisplayName() const { return strName.empty() ? strStation : strName; }
};
