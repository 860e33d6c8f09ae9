// The two records the engine object hands out piecemeal to the player: the information
// on the track handed out last (filled by CStreamManager::GetNextTrack) and the format of
// the stream opened last (filled by CStreamManager::OpenStream). Plain values, owned by
// the engine object and written and read on the host's thread.
#pragma once

#include "platform/Types.h"

#include <string>

struct SPlayerTrackInfo
{
    DWORD nTrackID = 0;
    // Decimal conversions of the record's artistid and albumid texts; 0 for other text.
    LONG nArtistID = 0;
    LONG nAlbumID = 0;
    std::string strName;
    std::string strArtist;
    std::string strAlbum;
    // Nothing fills it: it stays empty.
    std::string strClipUrl;
    std::string strArtUrl;
    std::string strTrackUrl;
    std::string strWebUrl;
    std::string strBrowser;
    std::string strText;
    std::string strQuality;
    std::string strAFD;
    LONG nSkippable = 0;
    LONG nDisplayDelay = 0;
};

struct SStreamFormat
{
    LONG nBitRate = 0; // kbit/s
    LONG nTotalSizeBytes = 0;
    LONG nNumChannels = 0;
    LONG nFrequency = 0; // Hz
    std::string strFormat = "mp3";
};
