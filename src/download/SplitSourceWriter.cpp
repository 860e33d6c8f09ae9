#include "download/SplitSourceWriter.h"

#include "download/CacheDownloader.h"

#include <algorithm>
#include <cstring>

namespace
{
DWORD PassSizeFor(DWORD dwTotalWeight)
{
    return dwTotalWeight == 0 || dwTotalWeight > CSplitSourceWriter::kPassSize
               ? CSplitSourceWriter::kPassSize
               : CSplitSourceWriter::kPassSize - CSplitSourceWriter::kPassSize % dwTotalWeight;
}

DWORD ShareOf(DWORD dwWeight, DWORD dwTotalWeight, DWORD dwPassSize)
{
    if (dwTotalWeight == 0)
        return 0;
    return static_cast<DWORD>(static_cast<ULONGLONG>(dwWeight) * dwPassSize / dwTotalWeight);
}
} // namespace

CSplitSourceWriter::CSplitSourceWriter(mcCacheDownloader* pCacheSource, DWORD dwCacheWeight,
                                       mcCacheDownloader* pSongSource, DWORD dwSongWeight,
                                       CTrackCache* pTrackCache)
    : CTrackCacheWriter(pTrackCache), m_cache{pCacheSource, dwCacheWeight, 0, {}},
      m_song{pSongSource, dwSongWeight, 0, {}},
      m_dwPassSize(PassSizeFor(dwCacheWeight + dwSongWeight))
{
    const DWORD dwTotal = dwCacheWeight + dwSongWeight;
    m_cache.dwShare = ShareOf(dwCacheWeight, dwTotal, m_dwPassSize);
    m_song.dwShare = ShareOf(dwSongWeight, dwTotal, m_dwPassSize);
    // A part's buffer takes a whole pass: its share grows to it once the other part ends.
    m_cache.buffer.assign(m_dwPassSize + 1, 0);
    m_song.buffer.assign(m_dwPassSize + 1, 0);
    m_pass.assign(m_dwPassSize + 1, 0);
}

bool CSplitSourceWriter::IsEnded(const SPart& part)
{
    return part.pSource == nullptr || part.pSource->IsEndOfData();
}

BOOL CSplitSourceWriter::IsDone()
{
    return IsEnded(m_cache) && IsEnded(m_song) ? TRUE : FALSE;
}

bool CSplitSourceWriter::IsAnyAborted() const
{
    return (m_cache.pSource && m_cache.pSource->IsAborted()) ||
           (m_song.pSource && m_song.pSource->IsAborted());
}

// Reads until the share is filled, the source's data ends or it reports a failure. Each
// read of an empty pipe waits (at most the source's empty-pipe limit) for bytes.
CSplitSourceWriter::EFill CSplitSourceWriter::Fill(SPart& part, DWORD dwShare)
{
    part.dwGot = 0;
    if (part.pSource == nullptr)
        return EFill::eFilled;
    while (part.dwGot < dwShare && !part.pSource->IsEndOfData())
    {
        DWORD dwSize = dwShare - part.dwGot;
        BYTE bFailed = FALSE;
        part.dwGot +=
            part.pSource->ReadDataFromPipe(part.buffer.data() + part.dwGot, &dwSize, &bFailed);
        if (part.pSource->IsAborted())
            return EFill::eAborted;
        if (bFailed)
            return EFill::eFailed;
    }
    return EFill::eFilled;
}

EPumpState CSplitSourceWriter::Pump(EPumpState eState)
{
    m_cache.dwGot = 0;
    m_song.dwGot = 0;
    for (SPart* pPart : {&m_cache, &m_song})
    {
        if (m_bFailed)
            break;
        const SPart& other = pPart == &m_cache ? m_song : m_cache;
        // The other part has ended: this one fills the rest of the pass.
        const DWORD dwShare = IsEnded(other) ? m_dwPassSize - other.dwGot : pPart->dwShare;
        const EFill eFill = Fill(*pPart, dwShare);
        if (eFill == EFill::eAborted)
            return ePumpSourceAborted;
        if (eFill == EFill::eFailed)
            m_bFailed = true;
        else if (pPart->dwGot < dwShare)
            pPart->dwShare = pPart->dwGot; // the part has ended
    }
    if (m_bFailed)
        return ePumpSourceFailed;
    DWORD dwPlaced = 0;
    if (!Interleave(dwPlaced))
        return ePumpSourceAborted;
    if (dwPlaced > 0)
    {
        WriteToCache(m_pass.data(), dwPlaced);
        m_dwBytesCopied += dwPlaced;
    }
    return eState;
}

bool CSplitSourceWriter::Interleave(DWORD& dwPlaced)
{
    DWORD dwCache = 0;
    DWORD dwSong = 0;
    const auto take = [&](const SPart& part, DWORD& dwFrom, DWORD dwMost)
    {
        const DWORD dwCount = std::min(dwMost, part.dwGot - dwFrom);
        std::memcpy(m_pass.data() + dwPlaced, part.buffer.data() + dwFrom, dwCount);
        dwFrom += dwCount;
        dwPlaced += dwCount;
        return dwCount;
    };
    while (dwCache < m_cache.dwGot || dwSong < m_song.dwGot)
    {
        DWORD dwTaken = take(m_cache, dwCache, m_cache.dwWeight);
        dwTaken += take(m_song, dwSong, m_song.dwWeight);
        if (dwTaken == 0)
        {
            // Only a part of weight 0 has bytes left (the other has ended): they follow
            // in order.
            take(m_cache, dwCache, m_cache.dwGot);
            take(m_song, dwSong, m_song.dwGot);
        }
        if (IsAnyAborted())
            return false;
    }
    return true;
}
