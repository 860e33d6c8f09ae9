#include "download/SingleSourceWriter.h"

#include "download/CacheDownloader.h"

CSingleSourceWriter::CSingleSourceWriter(mcCacheDownloader* pSource, CTrackCache* pTrackCache)
    : CTrackCacheWriter(pTrackCache), m_pSource(pSource), m_buffer(kBufferSize + 1, 0)
{
}

BOOL CSingleSourceWriter::IsDone()
{
    return m_pSource ? m_pSource->IsEndOfData() : TRUE;
}

EPumpState CSingleSourceWriter::Pump(EPumpState eState)
{
    BYTE bFailed = FALSE;
    DWORD dwRead = 0;
    if (eState != ePumpSourceFailed && m_pSource)
    {
        DWORD dwSize = m_dwBufferSize;
        dwRead = m_pSource->ReadDataFromPipe(m_buffer.data(), &dwSize, &bFailed);
        if (dwRead > 0)
        {
            if (m_pSource->IsAborted())
                return ePumpSourceAborted;
            WriteToCache(m_buffer.data(), dwRead);
            m_dwBytesCopied += dwRead;
        }
    }
    // The bytes that came before the source failed are the track's: the failure counts
    // once a read finds no more of them.
    if (bFailed && dwRead == 0)
        return ePumpSourceFailed;
    if (m_pSource && m_pSource->IsAborted())
        return ePumpSourceAborted;
    return eState;
}
