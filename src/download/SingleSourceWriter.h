// The writer of an unsplit track: the song source's bytes go into the track cache as they
// come, up to 8192 bytes a pass. Download thread only.
#pragma once

#include "download/TrackCacheWriter.h"

#include <vector>

class mcCacheDownloader;

class CSingleSourceWriter : public CTrackCacheWriter
{
public:
    static constexpr DWORD kBufferSize = 8192;

    CSingleSourceWriter(mcCacheDownloader* pSource, CTrackCache* pTrackCache);

    BOOL IsDone() override;
    EPumpState Pump(EPumpState eState) override;

private:
    mcCacheDownloader* const m_pSource;
    std::vector<char> m_buffer;
    const DWORD m_dwBufferSize = kBufferSize;
};
