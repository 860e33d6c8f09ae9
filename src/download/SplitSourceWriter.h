// The writer of a split track: each pass reads a share of the cache part and a share of
// the song part, in proportion to their weights, and interleaves them byte-wise (wc bytes
// of the cache part, then ws of the song part, again and again) into the track cache.
// A pass holds 16384 bytes cut down to whole periods of wc + ws. Download thread only.
//
// Once one part has ended, the other's share grows to the whole pass: the byte order is
// the same (only the remaining part is placed), and a part with weight 0 still drains.
#pragma once

#include "download/TrackCacheWriter.h"

#include <vector>

class mcCacheDownloader;

class CSplitSourceWriter : public CTrackCacheWriter
{
public:
    static constexpr DWORD kPassSize = 16384;

    // The weights must not both be 0.
    CSplitSourceWriter(mcCacheDownloader* pCacheSource, DWORD dwCacheWeight,
                       mcCacheDownloader* pSongSource, DWORD dwSongWeight,
                       CTrackCache* pTrackCache);

    BOOL IsDone() override;
    EPumpState Pump(EPumpState eState) override;

    DWORD GetPassSize() const { return m_dwPassSize; }
    DWORD GetCacheShare() const { return m_cache.dwShare; }
    DWORD GetSongShare() const { return m_song.dwShare; }

private:
    struct SPart
    {
        mcCacheDownloader* pSource;
        DWORD dwWeight;
        DWORD dwShare;
        std::vector<char> buffer;
        DWORD dwGot = 0;
    };
    enum class EFill
    {
        eFilled,
        eFailed,
        eAborted,
    };

    static bool IsEnded(const SPart& part);
    EFill Fill(SPart& part, DWORD dwShare);
    // Places the bytes read in the pass buffer; false when a source was aborted meanwhile.
    bool Interleave(DWORD& dwPlaced);
    bool IsAnyAborted() const;

    SPart m_cache;
    SPart m_song;
    const DWORD m_dwPassSize;
    std::vector<char> m_pass;
    bool m_bFailed = false;
};
