#include "download/TrackCacheWriter.h"

#include "download/TrackCache.h"

DWORD CTrackCacheWriter::WriteToCache(const void* pBuffer, DWORD dwCount)
{
    if (m_pTrackCache->GetWriteStatus() == WS_ABORTED)
        return 0;
    return m_pTrackCache->Write(pBuffer, dwCount);
}
