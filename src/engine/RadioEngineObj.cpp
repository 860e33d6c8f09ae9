#include "engine/RadioEngineObj.h"

#include "cache/RadioCacheMgr.h"
#include "engine/EngineModule.h"
#include "engine/ReportError.h"
#include "host/RadEngException.h"
#include "host/Trace.h"
#include "platform/com/BStr.h"
#include "platform/com/DispatchTable.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

using platform::com::DispArgs;
using platform::com::kPointerSizedVt;
using platform::com::ParamKind;

namespace
{
// Runs one operation's body so that nothing escapes it: the engine's own exception becomes
// its error information and DISP_E_EXCEPTION, any other E_FAIL with error information
// naming the operation.
template <typename Body>
HRESULT Guarded(const char* pszOperation, Body&& body) noexcept
{
    const auto failure = [pszOperation](const char* pszWhat)
    {
        char szText[512];
        std::snprintf(szText, sizeof szText, "RadioEngineObj::%s failed: %s", pszOperation,
                      pszWhat);
        return ReportFailure(szText, E_FAIL);
    };
    try
    {
        return body();
    }
    catch (const CRadEngException& e)
    {
        return ReportError(e);
    }
    catch (const std::exception& e)
    {
        return failure(e.what());
    }
    catch (...)
    {
        return failure("unknown exception");
    }
}

// An out string: E_POINTER for a null pointer, otherwise a new BSTR the caller frees.
HRESULT OutString(const std::string& strValue, BSTR* pOut)
{
    if (pOut == nullptr)
        return E_POINTER;
    BSTR bstr = platform::com::AllocBStr(strValue);
    if (bstr == nullptr)
        throw std::bad_alloc();
    *pOut = bstr;
    return S_OK;
}

template <typename Out, typename Value>
HRESULT OutValue(Value value, Out* pOut)
{
    if (pOut == nullptr)
        return E_POINTER;
    *pOut = static_cast<Out>(value);
    return S_OK;
}

// The host's status callback, a function pointer passed as an integer; none for 0.
StatusCallback HostCallback(LONG_PTR pFuncStatusCallback)
{
    if (pFuncStatusCallback == 0)
        return nullptr;
    const auto pfnCallback = reinterpret_cast<OVRADIO_STATUS_CALLBACK>(pFuncStatusCallback);
    return [pfnCallback](int nCode, const char* pszText)
    { pfnCallback(static_cast<LONG>(nCode), pszText); };
}

using Table = platform::com::DispatchTable<IRadioEngine>;

// IRadioEngine's type library: names, memids and slots as hosts and scripts know them
// (the last two memids are crossed against their slots), with the parameter names as the
// library has always spelled them.
const Table& DispatchTableOf()
{
    static const Table table({
        {{"ChangeStation", 1, 1, {{"strStationID", VT_BSTR}}},
         [](IRadioEngine& o, DispArgs& a) { return o.ChangeStation(a.Bstr(0)); }},
        {{"StartSession",
          2,
          2,
          {{"strStationID", VT_BSTR},
           {"strStatioName", VT_BSTR},
           {"strAudioFormatDesc", VT_BSTR},
           {"strClientCaps", VT_BSTR},
           {"strUserInfo", VT_BSTR},
           {"pFuncStatusCallback", kPointerSizedVt}}},
         [](IRadioEngine& o, DispArgs& a) {
             return o.StartSession(a.Bstr(0), a.Bstr(1), a.Bstr(2), a.Bstr(3), a.Bstr(4),
                                   a.IntPtr(5));
         }},
        {{"RefreshSequence", 3, 3, {{"strAudiFormat", VT_BSTR}, {"strUserInfo", VT_BSTR}}},
         [](IRadioEngine& o, DispArgs& a) { return o.RefreshSequence(a.Bstr(0), a.Bstr(1)); }},
        {{"StopSession", 4, 4, {}}, [](IRadioEngine& o, DispArgs&) { return o.StopSession(); }},
        {{"OpenStream", 5, 5, {{"nTrackID", VT_INT}}},
         [](IRadioEngine& o, DispArgs& a) { return o.OpenStream(a.Int(0)); }},
        {{"GetStreamBitRate", 6, 6, {{"pBitRate", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetStreamBitRate(a.IntRef(0)); }},
        {{"GetStreamTotalSizeBytes", 7, 7, {{"pTotalSize", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetStreamTotalSizeBytes(a.IntRef(0)); }},
        {{"GetStreamNumChannels", 8, 8, {{"pNumChannels", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetStreamNumChannels(a.IntRef(0)); }},
        {{"GetStreamFrequency", 9, 9, {{"pFreq", VT_I4, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetStreamFrequency(a.I4Ref(0)); }},
        {{"ReadStream",
          10,
          10,
          {{"lBytesToRead", VT_I4},
           {"plBuffer", kPointerSizedVt},
           {"pStatus", VT_INT, ParamKind::Out},
           {"pBytesRead", VT_I4, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a)
         { return o.ReadStream(a.I4(0), a.IntPtr(1), a.IntRef(2), a.I4Ref(3)); }},
        {{"CloseStream", 11, 11, {}}, [](IRadioEngine& o, DispArgs&) { return o.CloseStream(); }},
        {{"GetNextTrackID", 12, 12, {{"pTrackID", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetNextTrackID(a.IntRef(0)); }},
        {{"GetTrackName",
          13,
          13,
          {{"nTrackID", VT_INT}, {"pstrTrackName", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetTrackName(a.Int(0), a.BstrRef(1)); }},
        {{"GetArtistName",
          14,
          14,
          {{"nTrackID", VT_INT}, {"pstrArtistName", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetArtistName(a.Int(0), a.BstrRef(1)); }},
        {{"GetAlbumName",
          15,
          15,
          {{"nTrackID", VT_INT}, {"pstrAlbumName", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetAlbumName(a.Int(0), a.BstrRef(1)); }},
        {{"GetClipUrl", 16, 16, {{"nTrackID", VT_INT}, {"pstrClipUrl", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetClipUrl(a.Int(0), a.BstrRef(1)); }},
        {{"GetSkippable", 17, 17, {{"nTrackID", VT_INT}, {"bSkippable", VT_I4, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetSkippable(a.Int(0), a.I4Ref(1)); }},
        {{"GetDisplayDelay", 18, 18, {{"nTrackID", VT_INT}, {"nDelay", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetDisplayDelay(a.Int(0), a.IntRef(1)); }},
        {{"GetArtUrl", 19, 19, {{"nTrackID", VT_INT}, {"pstrArtUrl", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetArtUrl(a.Int(0), a.BstrRef(1)); }},
        {{"AckNotified", 20, 20, {{"nMessage", VT_INT}}},
         [](IRadioEngine& o, DispArgs& a) { return o.AckNotified(a.Int(0)); }},
        {{"GetTrackUrl", 21, 21, {{"nTrackID", VT_INT}, {"pstrTrackUrl", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetTrackUrl(a.Int(0), a.BstrRef(1)); }},
        {{"GetWebUrl", 22, 22, {{"nTrackID", VT_INT}, {"pstrWebUrl", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetWebUrl(a.Int(0), a.BstrRef(1)); }},
        {{"GetText", 23, 23, {{"nTrackID", VT_INT}, {"pstrText", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetText(a.Int(0), a.BstrRef(1)); }},
        {{"GetAFD", 24, 24, {{"nTrackID", VT_INT}, {"pbstrAFD", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetAFD(a.Int(0), a.BstrRef(1)); }},
        {{"GetQuality", 25, 25, {{"nTrackID", VT_INT}, {"pbstrQuality", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetQuality(a.Int(0), a.BstrRef(1)); }},
        {{"GetBrowserStr",
          26,
          26,
          {{"nTrackID", VT_INT}, {"pstrBrowser", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetBrowserStr(a.Int(0), a.BstrRef(1)); }},
        {{"GetStreamFormat", 27, 27, {{"pstrTrackFormat", VT_BSTR, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetStreamFormat(a.BstrRef(0)); }},
        {{"GetRadioCacheStatus",
          28,
          28,
          {{"pfMaxSize", VT_R8, ParamKind::Out},
           {"pfSafetyMargin", VT_R8, ParamKind::Out},
           {"pfCurSize", VT_R8, ParamKind::Out},
           {"pnStatus", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a)
         { return o.GetRadioCacheStatus(a.R8Ref(0), a.R8Ref(1), a.R8Ref(2), a.IntRef(3)); }},
        {{"SetRadioCacheStatus", 29, 29, {{"fMaxSize", VT_R8}, {"fSafetyMargin", VT_R8}}},
         [](IRadioEngine& o, DispArgs& a) { return o.SetRadioCacheStatus(a.R8(0), a.R8(1)); }},
        {{"GetAlbumID", 31, 30, {{"nTrackID", VT_INT}, {"pAlbumID", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetAlbumID(a.Int(0), a.IntRef(1)); }},
        {{"GetArtistID", 30, 31, {{"nTrackID", VT_INT}, {"pArtistID", VT_INT, ParamKind::Out}}},
         [](IRadioEngine& o, DispArgs& a) { return o.GetArtistID(a.Int(0), a.IntRef(1)); }},
    });
    return table;
}
} // namespace

// ---- Creation and release ------------------------------------------------------------

HRESULT RadioEngineObj::CreateInstance(REFIID riid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    return Guarded("CreateInstance",
                   [&]
                   {
                       // The stream manager is built here; a second one raises code 3.
                       RadioEngineObj* pObject = new RadioEngineObj();
                       CEngineModule::Lock();
                       // From here the object's own reference owns it: Release undoes
                       // whatever follows.
                       struct SReleaseOnExit
                       {
                           RadioEngineObj* pObject;
                           ~SReleaseOnExit() { pObject->Release(); }
                       } release{pObject};
                       pObject->FinalConstruct();
                       return pObject->QueryInterface(riid, ppv);
                   });
}

void RadioEngineObj::FinalConstruct()
{
    FindViewer();
    OpenTraceChannel("OVRadioEngine", 0, 1, 0xEFFFFFFF);
}

void RadioEngineObj::FinalRelease()
{
    CloseTraceChannel();
}

HRESULT RadioEngineObj::QueryInterface(REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IRadioEngine)
        *ppvObject = static_cast<IRadioEngine*>(this);
    else if (riid == IID_ISupportErrorInfo)
        *ppvObject = static_cast<ISupportErrorInfo*>(this);
    else
    {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG RadioEngineObj::AddRef()
{
    return m_nRefs.fetch_add(1) + 1;
}

ULONG RadioEngineObj::Release()
{
    const ULONG nLeft = m_nRefs.fetch_sub(1) - 1;
    if (nLeft == 0)
    {
        FinalRelease();
        delete this;
        CEngineModule::Unlock();
    }
    return nLeft;
}

// ---- IDispatch and ISupportErrorInfo -------------------------------------------------

HRESULT RadioEngineObj::GetTypeInfoCount(UINT* pctinfo)
{
    return Table::GetTypeInfoCount(pctinfo);
}

HRESULT RadioEngineObj::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo)
{
    return Table::GetTypeInfo(iTInfo, lcid, ppTInfo);
}

HRESULT RadioEngineObj::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                      DISPID* rgDispId)
{
    return Guarded(
        "GetIDsOfNames",
        [&] { return DispatchTableOf().GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId); });
}

HRESULT RadioEngineObj::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                               DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                               UINT* puArgErr)
{
    return Guarded("Invoke",
                   [&]
                   {
                       return DispatchTableOf().Invoke(*this, dispIdMember, riid, lcid, wFlags,
                                                       pDispParams, pVarResult, pExcepInfo,
                                                       puArgErr);
                   });
}

HRESULT RadioEngineObj::InterfaceSupportsErrorInfo(REFIID riid)
{
    return riid == IID_IRadioEngine ? S_OK : S_FALSE;
}

// ---- Session and station -------------------------------------------------------------

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

// ---- The stream ----------------------------------------------------------------------

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

HRESULT RadioEngineObj::GetStreamBitRate(INT* pBitRate)
{
    return OutValue(m_streamFormat.nBitRate, pBitRate);
}

HRESULT RadioEngineObj::GetStreamTotalSizeBytes(INT* pTotalSize)
{
    return OutValue(m_streamFormat.nTotalSizeBytes, pTotalSize);
}

HRESULT RadioEngineObj::GetStreamNumChannels(INT* pNumChannels)
{
    return OutValue(m_streamFormat.nNumChannels, pNumChannels);
}

HRESULT RadioEngineObj::GetStreamFrequency(LONG* pFreq)
{
    return OutValue(m_streamFormat.nFrequency, pFreq);
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

HRESULT RadioEngineObj::GetStreamFormat(BSTR* pstrTrackFormat)
{
    return Guarded("GetStreamFormat",
                   [&] { return OutString(m_streamFormat.strFormat, pstrTrackFormat); });
}

// ---- Tracks --------------------------------------------------------------------------

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

HRESULT RadioEngineObj::GetTrackName(INT, BSTR* pstrTrackName)
{
    return Guarded("GetTrackName",
                   [&] { return OutString(m_playerTrackInfo.strName, pstrTrackName); });
}

HRESULT RadioEngineObj::GetArtistName(INT, BSTR* pstrArtistName)
{
    return Guarded("GetArtistName",
                   [&] { return OutString(m_playerTrackInfo.strArtist, pstrArtistName); });
}

HRESULT RadioEngineObj::GetAlbumName(INT, BSTR* pstrAlbumName)
{
    return Guarded("GetAlbumName",
                   [&] { return OutString(m_playerTrackInfo.strAlbum, pstrAlbumName); });
}

HRESULT RadioEngineObj::GetClipUrl(INT, BSTR* pstrClipUrl)
{
    return Guarded("GetClipUrl",
                   [&] { return OutString(m_playerTrackInfo.strClipUrl, pstrClipUrl); });
}

HRESULT RadioEngineObj::GetSkippable(INT, LONG* bSkippable)
{
    return OutValue(m_playerTrackInfo.nSkippable, bSkippable);
}

HRESULT RadioEngineObj::GetDisplayDelay(INT, INT* nDelay)
{
    return OutValue(m_playerTrackInfo.nDisplayDelay, nDelay);
}

HRESULT RadioEngineObj::GetArtUrl(INT, BSTR* pstrArtUrl)
{
    return Guarded("GetArtUrl", [&] { return OutString(m_playerTrackInfo.strArtUrl, pstrArtUrl); });
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

HRESULT RadioEngineObj::GetTrackUrl(INT, BSTR* pstrTrackUrl)
{
    return Guarded("GetTrackUrl",
                   [&] { return OutString(m_playerTrackInfo.strTrackUrl, pstrTrackUrl); });
}

HRESULT RadioEngineObj::GetWebUrl(INT, BSTR* pstrWebUrl)
{
    return Guarded("GetWebUrl", [&] { return OutString(m_playerTrackInfo.strWebUrl, pstrWebUrl); });
}

HRESULT RadioEngineObj::GetText(INT, BSTR* pstrText)
{
    return Guarded("GetText", [&] { return OutString(m_playerTrackInfo.strText, pstrText); });
}

HRESULT RadioEngineObj::GetAFD(INT, BSTR* pbstrAFD)
{
    return Guarded("GetAFD", [&] { return OutString(m_playerTrackInfo.strAFD, pbstrAFD); });
}

HRESULT RadioEngineObj::GetQuality(INT, BSTR* pbstrQuality)
{
    return Guarded("GetQuality",
                   [&] { return OutString(m_playerTrackInfo.strQuality, pbstrQuality); });
}

HRESULT RadioEngineObj::GetBrowserStr(INT, BSTR* pstrBrowser)
{
    return Guarded("GetBrowserStr",
                   [&] { return OutString(m_playerTrackInfo.strBrowser, pstrBrowser); });
}

HRESULT RadioEngineObj::GetAlbumID(INT, INT* pAlbumID)
{
    return OutValue(m_playerTrackInfo.nAlbumID, pAlbumID);
}

HRESULT RadioEngineObj::GetArtistID(INT, INT* pArtistID)
{
    return OutValue(m_playerTrackInfo.nArtistID, pArtistID);
}

// ---- The persistent cache ------------------------------------------------------------

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
