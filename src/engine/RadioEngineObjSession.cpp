// RadioEngineObj's session calls: the session and the station, the stream the player
// reads, the next track and the persistent cache, each forwarded to the stream manager.
#include "cache/RadioCacheMgr.h"
#include "engine/EngineCall.h"
#include "engine/RadioEngineObj.h"

namespace
{
// The host's status callback, a function pointer passed as an integer; none for 0.
StatusCallback HostCallback(LONG_PTR pFuncStatusCallback)
{
    if (pFuncStatusCallback == 0)
        return nullptr;
    const auto pfnCallback = reinterpret_cast<OVRADIO_STATUS_CALLBACK>(pFuncStatusCallback);
    return [pfnCallback](int nCode, const char* pszText)
    { pfnCallback(static_cast<LONG>(nCode), pszText); };
}
} // namespace

using engine::Guarded;

HRESULT RadioEngineObj::ChangeStation(BSTR strStationID)
{
    return Guarded("ChangeStation",
                   [&]
                   {
                       m_streamManager.ChangeStation(platform::com::BStrToUtf8(strStationID));
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::StartSession(BSTR strStationID, BSTR strStatioName, BSTR strAudioFormatDesc,
                                     BSTR strClientCaps, BSTR strUserInfo,
                                     LONG_PTR pFuncStatusCallback)
{
    using platform::com::BStrToUtf8;
    return Guarded("StartSession",
                   [&]
                   {
                       m_streamManager.StartSession(
                           BStrToUtf8(strStationID), BStrToUtf8(strStatioName),
                           BStrToUtf8(strAudioFormatDesc), BStrToUtf8(strClientCaps),
                           BStrToUtf8(strUserInfo), HostCallback(pFuncStatusCallback));
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::RefreshSequence(BSTR strAudiFormat, BSTR strUserInfo)
{
    return Guarded("RefreshSequence",
                   [&]
                   {
                       // Whether buffered tracks were rejected is not the host's concern.
                       m_streamManager.RefreshStation(platform::com::BStrToUtf8(strAudiFormat),
                                                      platform::com::BStrToUtf8(strUserInfo));
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::StopSession()
{
    return Guarded("StopSession",
                   [&]
                   {
                       m_streamManager.EndSession();
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::OpenStream(INT nTrackID)
{
    return Guarded("OpenStream",
                   [&]
                   {
                       m_streamManager.OpenStream(static_cast<DWORD>(nTrackID), m_streamFormat);
                       // The stream stays open: the player closes it as after any track.
                       if (m_streamFormat.nBitRate == 0)
                           RADENG_THROW("BitRate is 0", 12);
                       if (m_streamFormat.nTotalSizeBytes == 0)
                           RADENG_THROW("TotalSizeBytes is 0", 12);
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::ReadStream(LONG lBytesToRead, LONG_PTR plBuffer, INT* pStatus,
                                   LONG* pBytesRead)
{
    // A negative count would become a huge one, and a missing buffer would be written.
    if (lBytesToRead < 0)
        return E_INVALIDARG;
    if (pStatus == nullptr || pBytesRead == nullptr || (plBuffer == 0 && lBytesToRead > 0))
        return E_POINTER;
    return Guarded("ReadStream",
                   [&]
                   {
                       DWORD dwCount = static_cast<DWORD>(lBytesToRead);
                       const EReadStatus eStatus =
                           m_streamManager.ReadStream(reinterpret_cast<BYTE*>(plBuffer), dwCount);
                       *pStatus = static_cast<INT>(eStatus);
                       *pBytesRead = static_cast<LONG>(dwCount);
                       if (eStatus == RS_OK && dwCount == 0)
                           RADENG_THROW("eStatus = RS_OK and BytesRead = 0", 13);
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::CloseStream()
{
    return Guarded("CloseStream",
                   [&]
                   {
                       m_streamManager.CloseStream();
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::GetNextTrackID(INT* pTrackID)
{
    // Checked first, so that a track is never handed out to nobody.
    if (pTrackID == nullptr)
        return E_POINTER;
    return Guarded("GetNextTrackID",
                   [&]
                   {
                       m_streamManager.GetNextTrack(m_playerTrackInfo);
                       *pTrackID = static_cast<INT>(m_playerTrackInfo.nTrackID);
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::AckNotified(INT nMessage)
{
    return Guarded("AckNotified",
                   [&]
                   {
                       m_streamManager.AckNotified(nMessage);
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::GetRadioCacheStatus(double* pfMaxSize, double* pfSafetyMargin,
                                            double* pfCurSize, INT* pnStatus)
{
    return Guarded("GetRadioCacheStatus",
                   [&]
                   {
                       m_streamManager.GetRadioCacheMgr()->GetRadioCacheStatus(
                           pfMaxSize, pfSafetyMargin, pfCurSize, pnStatus);
                       return S_OK;
                   });
}

HRESULT RadioEngineObj::SetRadioCacheStatus(double fMaxSize, double fSafetyMargin)
{
    return Guarded("SetRadioCacheStatus",
                   [&]
                   {
                       m_streamManager.GetRadioCacheMgr()->SetRadioCacheStatus(fMaxSize,
                                                                               fSafetyMargin);
                       return S_OK;
                   });
}
