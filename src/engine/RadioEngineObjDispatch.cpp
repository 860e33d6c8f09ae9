// RadioEngineObj's late-bound side: IDispatch from IRadioEngine's type library.
#include "engine/EngineCall.h"
#include "engine/RadioEngineObj.h"
#include "platform/com/DispatchTable.h"

using platform::com::DispArgs;
using platform::com::kPointerSizedVt;
using platform::com::ParamKind;

namespace
{
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

using engine::Guarded;

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
