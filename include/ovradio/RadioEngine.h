// IRadioEngine: the radio engine's one interface, a dual interface of the class
// RadioEngineObj in libOVRadioEngine.so. A host creates the object through the COM runtime
// (CoCreateInstance with CLSID_RadioEngineObj, or the ProgID through CLSIDFromProgID) and
// calls the operations below through the vtable, or late bound through IDispatch by name
// or memid. The operations follow IDispatch's seven slots in the order written here; each
// comment gives the memid that Invoke and GetIDsOfNames use.
//
// Threads: the host calls every operation on the thread that created the object. The
// status callback handed to StartSession is called on the engine's own threads.
// Strings: BSTRs of UTF-16 text; an out BSTR is allocated by the engine and freed by the
// caller with SysFreeString. A failed operation returns DISP_E_EXCEPTION with error
// information (GetErrorInfo): its help context is the engine's error code, its description
// the engine's journal text.
#ifndef OVRADIO_RADIOENGINE_H
#define OVRADIO_RADIOENGINE_H

#include <ovradio/Com.h>
#include <ovradio/RadioEngineIds.h>
#include <ovradio/Types.h>

// What ReadStream writes to *pStatus.
enum OVRADIO_READ_STATUS
{
    RS_OK = 0,            // bytes were copied (never with a count of 0)
    RS_EOF = 1,           // the track is over, or none is open; count 0
    RS_NODATAVAILABLE = 2 // not enough data yet; count 0; call again
};

// The host's status callback, passed to StartSession as a pointer-sized integer
// (reinterpret_cast<LONG_PTR>(&function)). nStatus is the engine's status code; pszText
// is NUL-terminated UTF-8 text or null. Called on engine threads.
typedef void (*OVRADIO_STATUS_CALLBACK)(LONG nStatus, const char* pszText);

// No virtual destructor: the vtable holds exactly IDispatch's slots and these, in order.
struct IRadioEngine : public IDispatch
{
    // memid 1
    virtual HRESULT STDMETHODCALLTYPE ChangeStation(BSTR strStationID) = 0;
    // memid 2. pFuncStatusCallback: an OVRADIO_STATUS_CALLBACK as a pointer-sized integer
    // (VT_I8 through Invoke on 64-bit systems).
    virtual HRESULT STDMETHODCALLTYPE StartSession(BSTR strStationID, BSTR strStatioName,
                                                   BSTR strAudioFormatDesc, BSTR strClientCaps,
                                                   BSTR strUserInfo,
                                                   LONG_PTR pFuncStatusCallback) = 0;
    // memid 3
    virtual HRESULT STDMETHODCALLTYPE RefreshSequence(BSTR strAudiFormat, BSTR strUserInfo) = 0;
    // memid 4
    virtual HRESULT STDMETHODCALLTYPE StopSession() = 0;
    // memid 5
    virtual HRESULT STDMETHODCALLTYPE OpenStream(INT nTrackID) = 0;
    // memid 6
    virtual HRESULT STDMETHODCALLTYPE GetStreamBitRate(INT* pBitRate) = 0;
    // memid 7
    virtual HRESULT STDMETHODCALLTYPE GetStreamTotalSizeBytes(INT* pTotalSize) = 0;
    // memid 8
    virtual HRESULT STDMETHODCALLTYPE GetStreamNumChannels(INT* pNumChannels) = 0;
    // memid 9
    virtual HRESULT STDMETHODCALLTYPE GetStreamFrequency(LONG* pFreq) = 0;
    // memid 10. plBuffer: the address of the host's buffer of at least lBytesToRead bytes,
    // as a pointer-sized integer (VT_I8 through Invoke on 64-bit systems). *pStatus is an
    // OVRADIO_READ_STATUS.
    virtual HRESULT STDMETHODCALLTYPE ReadStream(LONG lBytesToRead, LONG_PTR plBuffer, INT* pStatus,
                                                 LONG* pBytesRead) = 0;
    // memid 11
    virtual HRESULT STDMETHODCALLTYPE CloseStream() = 0;
    // memid 12
    virtual HRESULT STDMETHODCALLTYPE GetNextTrackID(INT* pTrackID) = 0;
    // memid 13
    virtual HRESULT STDMETHODCALLTYPE GetTrackName(INT nTrackID, BSTR* pstrTrackName) = 0;
    // memid 14
    virtual HRESULT STDMETHODCALLTYPE GetArtistName(INT nTrackID, BSTR* pstrArtistName) = 0;
    // memid 15
    virtual HRESULT STDMETHODCALLTYPE GetAlbumName(INT nTrackID, BSTR* pstrAlbumName) = 0;
    // memid 16
    virtual HRESULT STDMETHODCALLTYPE GetClipUrl(INT nTrackID, BSTR* pstrClipUrl) = 0;
    // memid 17
    virtual HRESULT STDMETHODCALLTYPE GetSkippable(INT nTrackID, LONG* bSkippable) = 0;
    // memid 18
    virtual HRESULT STDMETHODCALLTYPE GetDisplayDelay(INT nTrackID, INT* nDelay) = 0;
    // memid 19
    virtual HRESULT STDMETHODCALLTYPE GetArtUrl(INT nTrackID, BSTR* pstrArtUrl) = 0;
    // memid 20
    virtual HRESULT STDMETHODCALLTYPE AckNotified(INT nMessage) = 0;
    // memid 21
    virtual HRESULT STDMETHODCALLTYPE GetTrackUrl(INT nTrackID, BSTR* pstrTrackUrl) = 0;
    // memid 22
    virtual HRESULT STDMETHODCALLTYPE GetWebUrl(INT nTrackID, BSTR* pstrWebUrl) = 0;
    // memid 23
    virtual HRESULT STDMETHODCALLTYPE GetText(INT nTrackID, BSTR* pstrText) = 0;
    // memid 24
    virtual HRESULT STDMETHODCALLTYPE GetAFD(INT nTrackID, BSTR* pbstrAFD) = 0;
    // memid 25
    virtual HRESULT STDMETHODCALLTYPE GetQuality(INT nTrackID, BSTR* pbstrQuality) = 0;
    // memid 26
    virtual HRESULT STDMETHODCALLTYPE GetBrowserStr(INT nTrackID, BSTR* pstrBrowser) = 0;
    // memid 27
    virtual HRESULT STDMETHODCALLTYPE GetStreamFormat(BSTR* pstrTrackFormat) = 0;
    // memid 28
    virtual HRESULT STDMETHODCALLTYPE GetRadioCacheStatus(double* pfMaxSize, double* pfSafetyMargin,
                                                          double* pfCurSize, INT* pnStatus) = 0;
    // memid 29
    virtual HRESULT STDMETHODCALLTYPE SetRadioCacheStatus(double fMaxSize,
                                                          double fSafetyMargin) = 0;
    // memid 31: the last two memids are crossed against their slots.
    virtual HRESULT STDMETHODCALLTYPE GetAlbumID(INT nTrackID, INT* pAlbumID) = 0;
    // memid 30
    virtual HRESULT STDMETHODCALLTYPE GetArtistID(INT nTrackID, INT* pArtistID) = 0;
};

#endif
