#include "download/FileInternetCacheDownloader.h"

#include "cache/CacheFileMgr.h"
#include "download/TrackCache.h"
#include "download/TrackCacheOwner.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "hostlibs/EventMgr.h"

#include <algorithm>
#include <cmath>

namespace
{
std::shared_ptr<mcRadioCacheMgr> RadioCacheMgrOf(CTrackCache* pTrackCache)
{
    if (pTrackCache == nullptr || pTrackCache->GetOwner() == nullptr)
        return nullptr;
    return pTrackCache->GetOwner()->GetRadioCacheMgr();
}

// A byte count of the file as a body length: the header's 500 bytes do not count.
DWORD BodyOf(double dFileBytes)
{
    const double dBody = dFileBytes - mcCacheFileMgr::kHeaderSize;
    if (!(dBody > 0))
        return 0;
    return dBody >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<DWORD>(dBody);
}
} // namespace

mcFileInternetCacheDownloader::mcFileInternetCacheDownloader(
    DWORD dwCacheSize, const std::string& strUrl, DWORD dwPreconnectBytes, CTrackCache* pTrackCache,
    DWORD dwRetryLimit, DWORD dwChunkSize, DWORD dwLowWater, DWORD dwHighWater, DWORD dwPipeSize)
    : mcInternetCacheDownloader(strUrl, dwCacheSize, pTrackCache, dwRetryLimit, dwChunkSize,
                                dwLowWater, dwHighWater, dwPipeSize),
      m_pCacheMgr(RadioCacheMgrOf(pTrackCache)), m_dwCacheSize(dwCacheSize),
      m_dwPreconnectBytes(dwPreconnectBytes)
{
    if (!m_pCacheMgr || pTrackCache == nullptr)
        return;
    const STrackInfo& track = pTrackCache->GetTrackInfo();
    m_strCachePath = m_pCacheMgr->GetCacheFilePath(track);
    if (m_strCachePath.empty())
        return;
    TracedLock lock(m_csFile, "mcFileInternetCacheDownloader::mcFileInternetCacheDownloader", 0);
    m_Lock = m_pCacheMgr->LockFile(m_strCachePath);
    OpenCacheFile(track);
}

void mcFileInternetCacheDownloader::OpenCacheFile(const STrackInfo& track)
{
    m_pCacheFile = std::make_unique<mcCacheFileMgr>(m_strCachePath);
    bool bFound = m_pCacheFile->Existed();
    if (bFound)
    {
        std::string strError;
        const bool bRead = m_pCacheFile->ReadHeader(m_Header, strError);
        // A file made for a part of another length holds other bytes: its body is no
        // prefix of this part.
        const uint64_t nExpected = uint64_t{m_dwCacheSize} + mcCacheFileMgr::kHeaderSize;
        if (bRead && m_Header.tracksize != nExpected)
            strError = "the file is for a part of " + std::to_string(m_Header.tracksize) +
                       " bytes, not " + std::to_string(nExpected);
        if (!strError.empty() || !bRead)
        {
            // The file starts anew and the part downloads in full.
            Trace("mcFileInternetCacheDownloader - unusable header in %s: %s",
                  m_strCachePath.c_str(), strError.c_str());
            m_pCacheFile->Delete();
            m_pCacheFile = std::make_unique<mcCacheFileMgr>(m_strCachePath);
            bFound = false;
        }
    }
    if (!bFound)
    {
        m_Header = m_pCacheMgr->MakeCacheFileHeader(track);
        m_Header.tracksize += m_pCacheFile->GetHeaderSize();
        m_Header.trackcursize = m_pCacheFile->GetHeaderSize();
        // A file without its header takes no body.
        if (m_pCacheFile->WriteHeader(m_Header) != m_pCacheFile->GetHeaderSize())
            m_bAppendStopped = true;
        return;
    }
    m_bFoundInCache = TRUE;
    m_pCacheFile->WriteHeader(m_Header); // refreshes lastaccess
    Trace("mcFileInternetCacheDownloader::mcFileInternetCacheDownloader Found %s In Cache for %s\n",
          m_strCachePath.c_str(), m_strTrackName.c_str());
    mcEvent event(eEventCategoryInfo, "TrackFoundInCache");
    event.AddParameter("TrackName", m_strTrackName.c_str());
    event.AddParameter("TrackCacheId", m_strCachePath.c_str());
    GetEventMgr()->PostEvent(event);
}

mcFileInternetCacheDownloader::~mcFileInternetCacheDownloader()
{
    // The feeder runs this class's feed operations: it ends before any of them goes.
    StopFeeder();
    TracedLock lock(m_csFile, "mcFileInternetCacheDownloader::~mcFileInternetCacheDownloader", 0);
    ReleaseFile();
}

void mcFileInternetCacheDownloader::ReleaseFile()
{
    if (m_pCacheFile)
    {
        m_pCacheFile->Close();
        m_pCacheFile.reset();
    }
    if (m_Lock != 0 && m_pCacheMgr)
        m_pCacheMgr->UnLockFile(m_Lock);
    m_Lock = 0;
}

BOOL mcFileInternetCacheDownloader::Abort()
{
    m_bAbort = TRUE;
    return mcInternetCacheDownloader::Abort();
}

DWORD mcFileInternetCacheDownloader::CachedBodyBytes() const
{
    const DWORD dwClaimed = m_Header.trackcursize > mcCacheFileMgr::kHeaderSize
                                ? m_Header.trackcursize - mcCacheFileMgr::kHeaderSize
                                : 0;
    const DWORD dwHeld = BodyOf(m_pCacheFile->GetSize());
    if (dwHeld < dwClaimed)
        Trace("mcFileInternetCacheDownloader - %s holds %lu of the %lu bytes its header claims",
              m_strCachePath.c_str(), dwHeld, dwClaimed);
    return std::min(dwClaimed, dwHeld);
}

void mcFileInternetCacheDownloader::InitFeedData()
{
    TracedLock lock(m_csFile, "mcFileInternetCacheDownloader::InitFeedData", 0);
    m_dwConnectState = CONNECT_NOW;
    if (m_bFoundInCache && m_pCacheFile)
    {
        m_dwCachedBytes = CachedBodyBytes();
        m_dwFileBody = m_dwCachedBytes;
        {
            TracedLock internet(m_csInternet, "mcInternetCacheDownloader::InitFeedData CS Entry",
                                0);
            SetRangeFrom(m_dwCachedBytes);
        }
        if (m_dwCachedBytes >= m_dwCacheSize)
        {
            m_dwConnectState = FILE_COMPLETE;
            SetConnected(TRUE);
        }
        else if (m_dwCachedBytes > m_dwPreconnectBytes)
            m_dwConnectState = CONNECT_LATE;
    }
    if (m_dwConnectState == CONNECT_NOW)
        ConnectNow();
}

void mcFileInternetCacheDownloader::ConnectNow()
{
    mcInternetCacheDownloader::InitFeedData();
    m_dwConnectState = CONNECTED;
}

// Bytes of the part have been fed from the file: a connection that fails for now is an
// outage that the network reads ride out.
void mcFileInternetCacheDownloader::ConnectLate()
{
    ConnectWithinContent();
    m_dwConnectState = CONNECTED;
}

void mcFileInternetCacheDownloader::ConnectFrom(DWORD dwOffset)
{
    CloseInternetHandles();
    {
        TracedLock internet(m_csInternet, "mcInternetCacheDownloader::InitFeedData CS Entry", 0);
        SetRangeFrom(dwOffset);
    }
    ConnectLate();
}

void mcFileInternetCacheDownloader::FeedData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
{
    TracedLock lock(m_csFile, "mcFileInternetCacheDownloader::FeedData", 0);
    *pdwGot = 0;
    if (m_bFoundInCache && !m_bFileExhausted)
    {
        const DWORD dwGot = ReadFromFile(pBuffer, *pdwSize);
        m_dwBytesFed += dwGot;
        if (m_dwConnectState == CONNECT_LATE &&
            m_dwCachedBytes - m_dwBytesFed <= m_dwPreconnectBytes)
        {
            Trace("mcFileInternetCacheDownloader::FeedData connects late after %lu of %lu "
                  "cached bytes for %s",
                  m_dwBytesFed.load(), m_dwCachedBytes, m_strTrackName.c_str());
            ConnectLate();
        }
        if (dwGot > 0)
        {
            *pdwGot = dwGot;
            return;
        }
    }
    if (m_dwBytesFed >= m_dwCacheSize || m_bAbort)
        return;
    mcInternetCacheDownloader::FeedData(pBuffer, pdwSize, pdwGot);
    m_dwBytesFed += *pdwGot;
    if (*pdwGot > 0)
        AppendToFile(pBuffer, *pdwGot);
}

// Reads the next bytes of the cached body. A file that gives less than it held when the
// feed began is left alone from then on: the rest comes from the network, from the byte
// that the file failed to give.
DWORD mcFileInternetCacheDownloader::ReadFromFile(void* pBuffer, DWORD dwWanted)
{
    const DWORD dwLimit = std::min(m_dwCachedBytes, m_dwCacheSize);
    const DWORD dwFed = m_dwBytesFed;
    if (dwFed >= dwLimit || !m_pCacheFile)
    {
        m_bFileExhausted = true;
        return 0;
    }
    DWORD dwRead = 0;
    if (m_pCacheFile->Read(pBuffer, std::min(dwWanted, dwLimit - dwFed), dwRead) && dwRead > 0)
    {
        if (dwFed + dwRead >= dwLimit)
            m_bFileExhausted = true;
        return dwRead;
    }
    Trace("mcFileInternetCacheDownloader - %s gave out after %lu of %lu bytes",
          m_strCachePath.c_str(), dwFed, dwLimit);
    m_bFileExhausted = true;
    m_bAppendStopped = true;
    if (!m_bAbort && dwFed < m_dwCacheSize)
        ConnectFrom(dwFed);
    return 0;
}

// Appends at the end of the body. A failed or short write ends the appends of this feed:
// the file keeps the prefix written so far, which the header records at the end.
void mcFileInternetCacheDownloader::AppendToFile(const void* pBuffer, DWORD dwCount)
{
    if (m_bAppendStopped || !m_pCacheFile)
        return;
    DWORD dwWritten = 0;
    const bool bWritten = m_pCacheFile->Write(pBuffer, dwCount, dwWritten);
    m_dwFileBody += dwWritten;
    if (!bWritten || dwWritten < dwCount)
    {
        Trace("mcFileInternetCacheDownloader - writing %s failed after %lu body bytes; no more "
              "appends",
              m_strCachePath.c_str(), m_dwFileBody);
        m_bAppendStopped = true;
    }
}

void mcFileInternetCacheDownloader::UnInitFeedData()
{
    {
        TracedLock lock(m_csFile, "mcFileInternetCacheDownloader::FeedData", 0);
        if (m_pCacheFile)
        {
            // The body known to be the part's; never more than the file holds.
            const DWORD dwBody = std::min(m_dwFileBody, BodyOf(m_pCacheFile->GetSize()));
            m_Header.trackcursize = mcCacheFileMgr::kHeaderSize + dwBody;
            m_pCacheFile->WriteHeader(m_Header);
        }
        const bool bHadFile = m_Lock != 0;
        ReleaseFile();
        if (bHadFile && m_pCacheMgr)
            m_pCacheMgr->StartSizeManagement();
    }
    mcInternetCacheDownloader::UnInitFeedData();
}

DWORD mcFileInternetCacheDownloader::GetBytesReceived() const
{
    return m_dwBytesFed.load();
}

DWORD mcFileInternetCacheDownloader::GetContentLength() const
{
    return m_dwCacheSize;
}

void mcFileInternetCacheDownloader::ExceptionHandling(const std::string& strMessage,
                                                      DWORD dwHttpStatus)
{
    {
        TracedLock lock(m_csFile, "mcFileInternetCacheDownloader::ExceptionHandling", 0);
        Trace("mcFileInternetCacheDownloader::ExceptionHandling after %lu bytes of %s",
              m_dwBytesFed.load(), m_strCachePath.c_str());
    }
    mcInternetCacheDownloader::ExceptionHandling(strMessage, dwHttpStatus);
}
