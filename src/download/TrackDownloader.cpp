#include "download/TrackDownloader.h"

#include "cache/RadioCacheMgr.h"
#include "download/FileInternetCacheDownloader.h"
#include "download/InternetCacheDownloader.h"
#include "download/SingleSourceWriter.h"
#include "download/SplitSourceWriter.h"
#include "download/TrackCache.h"
#include "download/TrackCacheOwner.h"
#include "host/Md5.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "host/UserId.h"
#include "host/WorkerError.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "sequence/TrackInfo.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <system_error>

namespace
{
constexpr std::string_view kMagicKey = "MAGIC=";
constexpr std::string_view kMagicDelimiter = "%3a";
} // namespace

CTrackDownloader::CTrackDownloader(const char* pszUrl, CTrackCache* pTrackCache)
    : m_pTrackCache(pTrackCache), m_hStartedEvent(std::make_shared<platform::Event>(true, false)),
      m_hFinishedEvent(std::make_shared<platform::Event>(true, false))
{
    try
    {
        if (pszUrl == nullptr || *pszUrl == '\0')
            throw CWorkerError("Illegal parameter URL(empty)");
        if (pTrackCache == nullptr)
            throw CWorkerError("Illegal parameter CTrackCache*(NULL)");
        m_strUrl = SignUrl(pszUrl);
        if (pTrackCache->GetCacheId().empty())
            CreateSongSource();
        else
            CreateSplitSources();
    }
    catch (const std::exception& e)
    {
        // Without a song source the download thread ends the download as aborted; a cache
        // source made before goes too (its destructor gives its file back).
        if (pTrackCache != nullptr)
            Trace("CTrackDownloader - no content source for %s: %s",
                  pTrackCache->GetTrackName().c_str(), e.what());
        m_pSongSource.reset();
        m_pCacheSource.reset();
    }
}

CTrackDownloader::~CTrackDownloader()
{
    Abort();
    if (m_hThread)
    {
        Resume();
        if (m_hThread.Wait(kThreadTimeoutMs) == platform::WAIT_TIMEOUT)
        {
            Trace("CTrackDownloader::At destruction, DownloadThread still alive-%s\n",
                  m_pTrackCache ? m_pTrackCache->GetTrackName().c_str() : "");
            // The thread still uses this object and the cache: the join is completed.
            m_hThread.Wait(platform::INFINITE);
        }
    }
    m_pSongSource.reset();
    m_pCacheSource.reset();
}

void CTrackDownloader::CreateSongSource()
{
    CTrackCache& cache = *m_pTrackCache;
    m_pSongSource = std::make_unique<mcInternetCacheDownloader>(
        m_strUrl, cache.GetSongSize(), m_pTrackCache, cache.GetRetry(), kChunkSize,
        cache.GetLowWater(), cache.GetHighWater(), cache.GetPipeSize());
}

namespace
{
// A byte count scaled by a part's share, truncated toward zero.
DWORD Scaled(DWORD dwBytes, double dShare)
{
    return static_cast<DWORD>(static_cast<double>(dwBytes) * dShare);
}

// A part's pipe: its share of the cache's, but never less than one chunk, so that a part
// of weight 0 still has a pipe to come through.
DWORD ScaledPipe(DWORD dwPipeSize, double dShare)
{
    return std::max(Scaled(dwPipeSize, dShare), std::min(dwPipeSize, CTrackDownloader::kChunkSize));
}
} // namespace

bool CTrackDownloader::IsDiskCacheUsable(const CTrackCache& cache)
{
    CTrackCacheOwner* pOwner = cache.GetOwner();
    const std::shared_ptr<mcRadioCacheMgr> pCacheMgr =
        pOwner ? pOwner->GetRadioCacheMgr() : nullptr;
    // A cacheid that names no file, or a part the cache has no room for, is fetched as
    // with a disabled cache.
    return pCacheMgr && pCacheMgr->IsEnabled() && pCacheMgr->GetSizeStatus() != eSizeNoRoom &&
           pCacheMgr->MakeRoomFor(cache.GetTrackInfo());
}

void CTrackDownloader::CreateSplitSources()
{
    CTrackCache& cache = *m_pTrackCache;
    const DWORD dwCacheWeight = cache.GetSplitCache();
    const DWORD dwSongWeight = cache.GetSplitSong();
    const double dTotal = static_cast<double>(dwCacheWeight) + static_cast<double>(dwSongWeight);
    // One period of the interleave (wc bytes of one part, ws of the other) must fit a pass.
    if (dTotal == 0 || dTotal > CSplitSourceWriter::kPassSize)
        throw CWorkerError(platform::FormatText("split weights %lu:%lu cannot interleave",
                                                dwCacheWeight, dwSongWeight));
    const double dCacheShare = dwCacheWeight / dTotal;
    const double dSongShare = dwSongWeight / dTotal;
    const std::string strCacheUrl = SignUrl(cache.GetCacheUrl());
    if (IsDiskCacheUsable(cache))
        m_pCacheSource = std::make_unique<mcFileInternetCacheDownloader>(
            cache.GetCacheSize(), strCacheUrl, Scaled(cache.GetPreconnectBytes(), dCacheShare),
            m_pTrackCache, cache.GetRetry(), kChunkSize, Scaled(cache.GetLowWater(), dCacheShare),
            Scaled(cache.GetHighWater(), dCacheShare),
            ScaledPipe(cache.GetPipeSize(), dCacheShare));
    else
        m_pCacheSource = std::make_unique<mcInternetCacheDownloader>(
            strCacheUrl, cache.GetCacheSize(), m_pTrackCache, cache.GetRetry(), kChunkSize,
            Scaled(cache.GetLowWater(), dCacheShare), Scaled(cache.GetHighWater(), dCacheShare),
            ScaledPipe(cache.GetPipeSize(), dCacheShare));
    m_pSongSource = std::make_unique<mcInternetCacheDownloader>(
        m_strUrl, cache.GetSongPartSize(), m_pTrackCache, cache.GetRetry(), kChunkSize,
        Scaled(cache.GetLowWater(), dSongShare), Scaled(cache.GetHighWater(), dSongShare),
        ScaledPipe(cache.GetPipeSize(), dSongShare));
}

void CTrackDownloader::StartTrackContentDownloadProc()
{
    if (m_pSongSource)
        m_pSongSource->StartFeedThread();
    if (m_pCacheSource)
        m_pCacheSource->StartFeedThread();
    try
    {
        m_hThread = platform::Thread([this] { return TrackContentDownloadProc(); });
    }
    catch (const std::system_error&)
    {
        throw CWorkerError("Download thread creation failed");
    }
}

BOOL CTrackDownloader::Pause()
{
    return m_pauseGate.Pause();
}

BOOL CTrackDownloader::Resume()
{
    return m_pauseGate.Resume();
}

BOOL CTrackDownloader::Abort()
{
    m_bAbort = TRUE;
    const BOOL bResumed = Resume();
    m_hStartedEvent->Set();
    m_hFinishedEvent->Set();
    if (m_pSongSource)
        m_pSongSource->Abort();
    if (m_pCacheSource)
        m_pCacheSource->Abort();
    return bResumed;
}

std::string CTrackDownloader::SignUrl(const std::string& strUrl)
{
    try
    {
        const std::size_t nMagic = strUrl.find(kMagicKey);
        if (nMagic == std::string::npos)
            throw CWorkerError("No MAGIC tok");
        const std::size_t nStart = nMagic + kMagicKey.size();
        const std::size_t nEnd = strUrl.find('&', nStart);
        if (nEnd == std::string::npos)
            throw CWorkerError("No MAGIC value deliminator");
        // The placeholder lies inside the value: delimiters after its end are another
        // field's.
        const std::string_view value = std::string_view(strUrl).substr(nStart, nEnd - nStart);
        const std::size_t nFirst = value.find(kMagicDelimiter);
        if (nFirst == std::string_view::npos)
            throw CWorkerError("No deliminator");
        const std::size_t nPlaceholder = nFirst + kMagicDelimiter.size();
        const std::size_t nSecond = value.find(kMagicDelimiter, nPlaceholder);
        if (nSecond == std::string_view::npos)
            throw CWorkerError("No deliminator");
        std::string strDecoded(value);
        DecodeText(strDecoded);
        // A digest has 32 digits: a longer placeholder is signed over its first 32
        // characters and keeps the rest.
        const std::size_t nLength = std::min(nSecond - nPlaceholder, kMaxSignatureLength);
        std::string strSigned = strUrl;
        strSigned.replace(nStart + nPlaceholder, nLength, SignMagic(strDecoded, nLength));
        return strSigned;
    }
    catch (const CWorkerError& e)
    {
        Trace("Could not sign track -%s(%s)", e.what(), strUrl.c_str());
        return strUrl;
    }
}

std::string CTrackDownloader::SignMagic(const std::string& strValue, std::size_t nLength)
{
    const std::string strUid = GetUserIdOrEmpty();
    if (strUid.empty())
        throw CWorkerError("No OVUID!!");
    return host::Md5Hex(strValue + strUid).substr(0, std::min(nLength, kMaxSignatureLength));
}

std::unique_ptr<CTrackCacheWriter> CTrackDownloader::CreateWriter()
{
    if (!m_pSongSource)
        return nullptr;
    if (!m_pCacheSource)
        return std::make_unique<CSingleSourceWriter>(m_pSongSource.get(), m_pTrackCache);
    return std::make_unique<CSplitSourceWriter>(m_pCacheSource.get(),
                                                m_pTrackCache->GetSplitCache(), m_pSongSource.get(),
                                                m_pTrackCache->GetSplitSong(), m_pTrackCache);
}

// Waits until the song source has its server's answer and a cache source has run its
// start, or one of them failed or was aborted. Each change of those flags wakes it.
EPumpState CTrackDownloader::WaitForSources()
{
    EPumpState eState = ePumpGoOn;
    const auto waitFor = [&eState](mcCacheDownloader* pSource, bool bReadiness)
    {
        while (pSource && eState == ePumpGoOn)
        {
            if (bReadiness ? pSource->IsReady() : pSource->IsConnected())
                return;
            if (pSource->IsFailed())
                eState = ePumpSourceFailed;
            else if (pSource->IsAborted())
                eState = ePumpSourceAborted;
            else
                pSource->WaitForStateChange();
        }
    };
    waitFor(m_pSongSource.get(), false);
    waitFor(m_pCacheSource.get(), true);
    return eState;
}

DWORD CTrackDownloader::TrackContentDownloadProc()
{
    if (m_pTrackCache == nullptr)
    {
        SignalEnd();
        return 0;
    }
    const std::string& strName = m_pTrackCache->GetTrackName();
    m_pTrackCache->SetWriteStatus(WS_WRITING);
    std::unique_ptr<CTrackCacheWriter> writer = CreateWriter();
    if (!writer)
    {
        // Nothing to download from: the owner moves on to the next track.
        Trace("TrackContentDownloadProc: no content source for %s", strName.c_str());
        m_pTrackCache->SetWriteStatus(WS_ABORTED);
        SignalEnd();
        return 0;
    }
    EPumpState eState = WaitForSources();
    m_hStartedEvent->Set();
    try
    {
        PumpUntilDone(*writer, eState);
    }
    catch (const CWorkerError& e)
    {
        // A source refused by its server has set the status already (WS_DENIED). One that
        // failed after its server's answer leaves it here, now that every byte it had
        // delivered is in the track cache: the track ends short.
        writer.reset();
        Trace("TrackContentDownloadProc: failed for %s:%s", strName.c_str(), e.what());
        if (!m_bAbort && !m_pTrackCache->IsWriteDone())
            m_pTrackCache->SetWriteStatus(WS_FAILED);
        SignalEnd();
        return 0;
    }
    Trace("Content length on %s = %lu\n", strName.c_str(), writer->GetBytesCopied());
    if (!m_bAbort)
    {
        // Before the end: a reader that meets it finds the track short.
        if (IsAnySourceShort())
            m_pTrackCache->MarkTruncated();
        m_pTrackCache->SetWriteStatus(WS_COMPLETE);
    }
    else
        Trace("CTrackDownloader::TrackContentDownloadProcSupport Aborting InternetReadFile-%s\n",
              strName.c_str());
    writer.reset();
    SignalEnd();
    return 0;
}

EPumpState CTrackDownloader::PumpUntilDone(CTrackCacheWriter& writer, EPumpState eState)
{
    while (true)
    {
        if (m_pauseGate.IsPaused())
            m_pauseGate.WaitForResume();
        if (m_bAbort)
        {
            Trace("TrackDonwloader thread aborted...");
            return eState;
        }
        if (eState == ePumpSourceAborted)
            return eState;
        if (eState == ePumpSourceFailed)
            throw CWorkerError(platform::FormatText(
                "TrackDownloader::TrackContentDownloadProcSupport due to cache downloder's "
                "failure [%ld]\n",
                platform::http::LastError()));
        if (writer.IsDone())
        {
            Trace("TrackDonwloader completed normally...");
            return eState;
        }
        eState = writer.Pump(eState);
    }
}

bool CTrackDownloader::IsAnySourceShort() const
{
    for (const mcCacheDownloader* pSource : {m_pSongSource.get(), m_pCacheSource.get()})
        if (pSource && pSource->GetBytesReceived() < pSource->GetContentLength())
            return true;
    return false;
}

void CTrackDownloader::SignalEnd()
{
    m_hStartedEvent->Set();
    m_hFinishedEvent->Set();
}
