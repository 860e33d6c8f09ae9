// RadioEngineObj: the engine's one COM class and the host's only way in. It implements
// IRadioEngine (through the vtable and late bound through IDispatch) and
// ISupportErrorInfo, owns the stream manager for its whole life, and keeps the two records
// the player reads piecemeal: the format of the stream opened last and the information on
// the track handed out last. Made by the class factory (RadioEngineFactory.h); one object
// per process, since the stream manager's locks are process-wide.
//
// Threads: the host calls every operation on the thread that created the object; the
// object has no lock of its own, and the records are read and written only there. An
// operation blocks as the stream manager's operation it forwards to does (see
// StreamManager.h); Release of the last reference ends the session and waits for the
// engine's threads as ~CStreamManager does. The host's status callback is called on
// engine threads, and with code 6 on the host's thread from inside ReadStream (see
// CStreamManager).
//
// Failures: a CRadEngException becomes error information and DISP_E_EXCEPTION
// (ReportError); any other exception E_FAIL with error information. Nothing escapes an
// operation (EngineCall.h).
//
// Files: RadioEngineObj.cpp makes it a COM object (creation, references, interfaces);
// RadioEngineObjSession.cpp has the session calls, RadioEngineObjTrackInfo.cpp the getters
// of the two records, RadioEngineObjDispatch.cpp the late-bound side.
#pragma once

#include "engine/PlayerTrackInfo.h"
#include "engine/StreamManager.h"

#include <atomic>
#include <memory>
#include <ovradio/RadioEngine.h>

class RadioEngineObj final : public IRadioEngine, public ISupportErrorInfo
{
public:
    // The class factory's creation: constructs the object (and its stream manager), counts
    // it in the module's lock count, opens the trace channel "OVRadioEngine" and hands out
    // the interface riid. A stream manager that cannot be made (another object lives)
    // fails with DISP_E_EXCEPTION and the error information of its CRadEngException (help
    // context 3); any other failure with E_FAIL or E_NOINTERFACE. Host's thread.
    static HRESULT CreateInstance(REFIID riid, void** ppv) noexcept;

    // IUnknown. AddRef and Release are atomic; the last Release closes the trace channel
    // and destroys the object, which ends the session (blocking as ~CStreamManager does).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch, from the dispatch table of IRadioEngine.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                            LCID lcid, DISPID* rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // ISupportErrorInfo: S_OK for IRadioEngine, S_FALSE for any other interface.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // IRadioEngine. Session and station: block while a running station ends (see
    // CStreamManager::StartSession).
    HRESULT STDMETHODCALLTYPE ChangeStation(BSTR strStationID) override;
    HRESULT STDMETHODCALLTYPE StartSession(BSTR strStationID, BSTR strStatioName,
                                           BSTR strAudioFormatDesc, BSTR strClientCaps,
                                           BSTR strUserInfo, LONG_PTR pFuncStatusCallback) override;
    HRESULT STDMETHODCALLTYPE RefreshSequence(BSTR strAudiFormat, BSTR strUserInfo) override;
    HRESULT STDMETHODCALLTYPE StopSession() override;

    // The stream: OpenStream fills the stream format record, then reports a bit rate or a
    // size of 0 (code 12) with the stream left open.
    HRESULT STDMETHODCALLTYPE OpenStream(INT nTrackID) override;
    HRESULT STDMETHODCALLTYPE GetStreamBitRate(INT* pBitRate) override;
    HRESULT STDMETHODCALLTYPE GetStreamTotalSizeBytes(INT* pTotalSize) override;
    HRESULT STDMETHODCALLTYPE GetStreamNumChannels(INT* pNumChannels) override;
    HRESULT STDMETHODCALLTYPE GetStreamFrequency(LONG* pFreq) override;
    // Pauses up to 500 ms when too little data is there (CStreamManager::ReadStream). A
    // negative count is E_INVALIDARG, a null buffer for a count above 0 or a null out
    // pointer E_POINTER; RS_OK with 0 bytes is an error (code 13) after both outs are
    // written.
    HRESULT STDMETHODCALLTYPE ReadStream(LONG lBytesToRead, LONG_PTR plBuffer, INT* pStatus,
                                         LONG* pBytesRead) override;
    HRESULT STDMETHODCALLTYPE CloseStream() override;
    HRESULT STDMETHODCALLTYPE GetStreamFormat(BSTR* pstrTrackFormat) override;

    // Tracks: GetNextTrackID fills the player track information record; the getters answer
    // from it whatever the track id. Null out pointers are E_POINTER, nothing else done.
    HRESULT STDMETHODCALLTYPE GetNextTrackID(INT* pTrackID) override;
    HRESULT STDMETHODCALLTYPE GetTrackName(INT nTrackID, BSTR* pstrTrackName) override;
    HRESULT STDMETHODCALLTYPE GetArtistName(INT nTrackID, BSTR* pstrArtistName) override;
    HRESULT STDMETHODCALLTYPE GetAlbumName(INT nTrackID, BSTR* pstrAlbumName) override;
    HRESULT STDMETHODCALLTYPE GetClipUrl(INT nTrackID, BSTR* pstrClipUrl) override;
    HRESULT STDMETHODCALLTYPE GetSkippable(INT nTrackID, LONG* bSkippable) override;
    HRESULT STDMETHODCALLTYPE GetDisplayDelay(INT nTrackID, INT* nDelay) override;
    HRESULT STDMETHODCALLTYPE GetArtUrl(INT nTrackID, BSTR* pstrArtUrl) override;
    HRESULT STDMETHODCALLTYPE AckNotified(INT nMessage) override;
    HRESULT STDMETHODCALLTYPE GetTrackUrl(INT nTrackID, BSTR* pstrTrackUrl) override;
    HRESULT STDMETHODCALLTYPE GetWebUrl(INT nTrackID, BSTR* pstrWebUrl) override;
    HRESULT STDMETHODCALLTYPE GetText(INT nTrackID, BSTR* pstrText) override;
    HRESULT STDMETHODCALLTYPE GetAFD(INT nTrackID, BSTR* pbstrAFD) override;
    HRESULT STDMETHODCALLTYPE GetQuality(INT nTrackID, BSTR* pbstrQuality) override;
    HRESULT STDMETHODCALLTYPE GetBrowserStr(INT nTrackID, BSTR* pstrBrowser) override;
    HRESULT STDMETHODCALLTYPE GetAlbumID(INT nTrackID, INT* pAlbumID) override;
    HRESULT STDMETHODCALLTYPE GetArtistID(INT nTrackID, INT* pArtistID) override;

    // The persistent cache: both block for a size-management pass of the radio cache
    // manager (SetRadioCacheStatus only when the maximum shrinks).
    HRESULT STDMETHODCALLTYPE GetRadioCacheStatus(double* pfMaxSize, double* pfSafetyMargin,
                                                  double* pfCurSize, INT* pnStatus) override;
    HRESULT STDMETHODCALLTYPE SetRadioCacheStatus(double fMaxSize, double fSafetyMargin) override;

private:
    RadioEngineObj() = default;
    ~RadioEngineObj() = default;
    RadioEngineObj(const RadioEngineObj&) = delete;
    RadioEngineObj& operator=(const RadioEngineObj&) = delete;

    void FinalConstruct();
    void FinalRelease();

    std::atomic<ULONG> m_nRefs{1};
    CStreamManager m_streamManager;
    SStreamFormat m_streamFormat;
    SPlayerTrackInfo m_playerTrackInfo;
};
