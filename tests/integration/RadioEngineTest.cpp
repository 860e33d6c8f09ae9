// The engine library as a host uses it: registered into a private registry, created through
// the COM runtime by ProgID, and driven through IRadioEngine's vtable and late bound through
// IDispatch against ovradio-station on loopback. The status callback is a plain function
// that only records the code; the test's thread answers code 11 with AckNotified(0), as a
// host's thread does.
#include "download/DownloadTestSupport.h"
#include "host/TraceBlock.h"
#include "integration/StationFixture.h"
#include "integration/StreamPlayer.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <optional>
#include <ovradio/RadioEngine.h>
#include <string>
#include <vector>

using platform::com::BStr;
using platform::com::ComPtr;

namespace
{
constexpr DWORD kLimitMs = testsupport::kWaitLimitMs;
constexpr char kClassKey[] = "CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}";

// The codes the engine called back with, from any test of the process: the callback is a
// plain function, as hosts pass it.
streamtest::CStatusRecorder& Status()
{
    static streamtest::CStatusRecorder recorder;
    return recorder;
}

void StatusCallback(LONG nStatus, const char* pszText)
{
    Status().Record(nStatus, pszText);
}

// The error information that the last failed call left on this thread.
struct SError
{
    bool bPresent = false;
    DWORD dwHelpContext = 0;
    std::string strDescription;
    std::string strSource;
};

SError TakeErrorInfo()
{
    SError error;
    IErrorInfo* pRaw = nullptr;
    if (GetErrorInfo(0, &pRaw) != S_OK || pRaw == nullptr)
        return error;
    auto pInfo = ComPtr<IErrorInfo>::Adopt(pRaw);
    error.bPresent = true;
    pInfo->GetHelpContext(&error.dwHelpContext);
    BStr description;
    pInfo->GetDescription(description.Out());
    error.strDescription = description.ToUtf8();
    BStr source;
    pInfo->GetSource(source.Out());
    error.strSource = source.ToUtf8();
    return error;
}

// The call that the callback makes into the engine the next time it hears 7, and its
// answer (HRESULT, help context); the 7 is recorded once the call has returned.
using PfnEngineCall = HRESULT (*)(IRadioEngine&);
std::atomic<IRadioEngine*> g_pCallInside{nullptr};
std::atomic<PfnEngineCall> g_pfnInside{nullptr};
std::atomic<HRESULT> g_hrInside{E_UNEXPECTED};
std::atomic<DWORD> g_dwInsideCode{0};

void CallingBackCallback(LONG nStatus, const char* pszText)
{
    if (IRadioEngine* pEngine = nStatus == 7 ? g_pCallInside.exchange(nullptr) : nullptr)
    {
        const HRESULT hr = g_pfnInside.load()(*pEngine);
        g_dwInsideCode = hr == S_OK ? 0 : TakeErrorInfo().dwHelpContext;
        g_hrInside = hr;
    }
    Status().Record(nStatus, pszText);
}

bool EndsWith(const std::string& strText, const std::string& strTail)
{
    return strText.size() >= strTail.size() &&
           strText.compare(strText.size() - strTail.size(), strTail.size(), strTail) == 0;
}

// The text that a string getter wrote out, which the caller owns; its result in hr.
template <typename Getter>
std::string TextOf(Getter&& getter, HRESULT& hr)
{
    BStr text;
    hr = getter(text.Out());
    return text.ToUtf8();
}

class RadioEngineTest : public integration::StationIntegration
{
protected:
    using PfnServerCall = HRESULT (*)();

    void SetUp() override
    {
        StationIntegration::SetUp();
        m_hLibrary = ::dlopen(OVR_ENGINE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_hLibrary, nullptr) << ::dlerror();
        ASSERT_EQ(Export("DllRegisterServer")(), S_OK);
    }
    void TearDown() override
    {
        if (m_hLibrary)
            ::dlclose(m_hLibrary);
        StationIntegration::TearDown();
    }

    PfnServerCall Export(const char* pszName)
    {
        auto pfn = reinterpret_cast<PfnServerCall>(::dlsym(m_hLibrary, pszName));
        EXPECT_NE(pfn, nullptr) << pszName;
        return pfn;
    }

    // The engine as a host creates it: by the version-independent ProgID.
    ComPtr<IRadioEngine> Create()
    {
        CLSID clsid = GUID_NULL;
        EXPECT_EQ(CLSIDFromProgID(u"" OVRADIO_VERSION_INDEPENDENT_PROGID, &clsid), S_OK);
        EXPECT_TRUE(clsid == CLSID_RadioEngineObj);
        ComPtr<IRadioEngine> pEngine;
        const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IRadioEngine,
                                            pEngine.OutVoid());
        EXPECT_EQ(hr, S_OK) << TakeErrorInfo().strDescription;
        return pEngine;
    }

    void StartSession(IRadioEngine& engine, const std::string& strStation)
    {
        const BStr station(strStation);
        const BStr name("Station " + strStation);
        const BStr afd("afd-one");
        const BStr caps("caps");
        const BStr user("::id=42::usr_info=abc");
        ASSERT_EQ(engine.StartSession(station.Get(), name.Get(), afd.Get(), caps.Get(), user.Get(),
                                      reinterpret_cast<LONG_PTR>(&StatusCallback)),
                  S_OK);
    }

    // The next track as a host gets it: code 11 is acknowledged with AckNotified(0) from
    // this thread, then the request is made again after 7. The track id, or nothing.
    std::optional<INT> NextTrack(IRadioEngine& engine)
    {
        for (int nTry = 0; nTry < 20; ++nTry)
        {
            const std::size_t nFrom = Status().Count();
            INT nTrackID = 0;
            const HRESULT hr = engine.GetNextTrackID(&nTrackID);
            if (hr == S_OK)
                return nTrackID;
            const SError error = TakeErrorInfo();
            if (hr != DISP_E_EXCEPTION || error.dwHelpContext != 11)
            {
                ADD_FAILURE() << "GetNextTrackID: " << std::hex << hr << std::dec << " "
                              << error.strDescription;
                return std::nullopt;
            }
            // Has no effect: only 0 acknowledges.
            EXPECT_EQ(engine.AckNotified(1), S_OK);
            EXPECT_EQ(engine.AckNotified(0), S_OK);
            const std::optional<std::size_t> at = Status().WaitForCode(nFrom, {3, 7, 8}, kLimitMs);
            if (!at)
            {
                ADD_FAILURE() << "no status 7, 8 or 3 within " << kLimitMs
                              << " ms after AckNotified(0)";
                return std::nullopt;
            }
            if (Status().Calls()[*at].first != 7)
            {
                ADD_FAILURE() << "status " << Status().Calls()[*at].first << " instead of 7";
                return std::nullopt;
            }
        }
        ADD_FAILURE() << "no track after 20 answers";
        return std::nullopt;
    }

    // Reads the open stream to RS_EOF through the vtable; fails when neither a byte nor
    // the end comes within the limit.
    std::string ReadToEnd(IRadioEngine& engine)
    {
        std::string bytes;
        char buffer[8192];
        auto lastProgress = std::chrono::steady_clock::now();
        while (true)
        {
            INT nStatus = -1;
            LONG nRead = -1;
            const HRESULT hr = engine.ReadStream(sizeof buffer, reinterpret_cast<LONG_PTR>(buffer),
                                                 &nStatus, &nRead);
            if (hr != S_OK)
            {
                ADD_FAILURE() << "ReadStream: " << TakeErrorInfo().strDescription;
                return bytes;
            }
            if (nStatus == RS_OK)
            {
                EXPECT_GT(nRead, 0);
                bytes.append(buffer, static_cast<std::size_t>(nRead));
                lastProgress = std::chrono::steady_clock::now();
                continue;
            }
            EXPECT_EQ(nRead, 0);
            if (nStatus == RS_EOF)
                return bytes;
            EXPECT_EQ(nStatus, RS_NODATAVAILABLE);
            if (std::chrono::steady_clock::now() - lastProgress >
                std::chrono::milliseconds(kLimitMs))
            {
                ADD_FAILURE() << "the track stalled after " << bytes.size() << " bytes";
                return bytes;
            }
        }
    }

    // Opens the track handed out, checks its stream values and plays it byte-exact.
    void PlayTrack(IRadioEngine& engine, INT nTrackID)
    {
        ASSERT_EQ(engine.OpenStream(nTrackID), S_OK) << TakeErrorInfo().strDescription;
        INT nBitRate = 0, nSize = 0, nChannels = 0;
        LONG nFrequency = 0;
        EXPECT_EQ(engine.GetStreamBitRate(&nBitRate), S_OK);
        EXPECT_EQ(engine.GetStreamTotalSizeBytes(&nSize), S_OK);
        EXPECT_EQ(engine.GetStreamNumChannels(&nChannels), S_OK);
        EXPECT_EQ(engine.GetStreamFrequency(&nFrequency), S_OK);
        EXPECT_EQ(nBitRate, 128);
        EXPECT_EQ(nChannels, 2);
        EXPECT_EQ(nFrequency, 44100);
        ASSERT_GT(nSize, 0);
        HRESULT hr = E_FAIL;
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetStreamFormat(p); }, hr), "mp3");
        const std::string bytes = ReadToEnd(engine);
        EXPECT_EQ(bytes.size(), static_cast<std::size_t>(nSize));
        EXPECT_TRUE(bytes == downloadtest::StationSong(static_cast<uint32_t>(nTrackID),
                                                       static_cast<uint32_t>(nSize)))
            << "track " << nTrackID << " differs from what the station serves";
        EXPECT_EQ(engine.CloseStream(), S_OK);
    }

    void* m_hLibrary = nullptr;
};

// The messages of a kind that the trace viewer received with this text.
std::size_t TraceMessages(const testsupport::TraceCapture& capture, DWORD dwKind,
                          const std::string& strText)
{
    std::size_t nCount = 0;
    for (const auto& message : capture.Messages())
        if (message.dwKind == dwKind && (strText.empty() || message.Text() == strText))
            ++nCount;
    return nCount;
}

TEST_F(RadioEngineTest, PlaysTwoTracksByteExactThroughTheVtable)
{
    ComPtr<IRadioEngine> pEngine = Create();
    ASSERT_TRUE(pEngine);
    IRadioEngine& engine = *pEngine.Get();
    EXPECT_EQ(TraceMessages(trace, host::kTraceKindOpen, "OVRadioEngine"), 1u);
    EXPECT_EQ(Export("DllCanUnloadNow")(), S_FALSE);

    // One engine per process: a second creation fails with the engine's error, the first
    // goes on undisturbed.
    ComPtr<IRadioEngine> pSecond;
    EXPECT_EQ(CoCreateInstance(CLSID_RadioEngineObj, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IRadioEngine, pSecond.OutVoid()),
              DISP_E_EXCEPTION);
    EXPECT_FALSE(pSecond);
    const SError second = TakeErrorInfo();
    EXPECT_EQ(second.dwHelpContext, 3u);
    EXPECT_NE(second.strDescription.find("OVEXC - "), std::string::npos) << second.strDescription;

    // Before a session: the engine's error with its code and journal text.
    INT nTrackID = -1;
    EXPECT_EQ(engine.GetNextTrackID(&nTrackID), DISP_E_EXCEPTION);
    EXPECT_EQ(nTrackID, -1);
    SError error = TakeErrorInfo();
    EXPECT_EQ(error.dwHelpContext, 14u);
    EXPECT_TRUE(
        EndsWith(error.strDescription, "OVEXC - Station is not initialized. Call StartStation\n"))
        << error.strDescription;
    EXPECT_EQ(error.strSource, OVRADIO_PROGID);

    StartSession(engine, "demo");
    std::vector<INT> played;
    for (int nTrack = 0; nTrack < 2; ++nTrack)
    {
        const std::optional<INT> id = NextTrack(engine);
        ASSERT_TRUE(id);
        played.push_back(*id);
        // The getters answer for the track handed out, whatever the id asked about.
        HRESULT hr = E_FAIL;
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetTrackName(12345, p); }, hr),
                  "demo track " + std::to_string(*id - 100));
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetText(0, p); }, hr),
                  "Now playing demo track " + std::to_string(*id - 100));
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetArtUrl(*id, p); }, hr),
                  station.BaseUrl() + "/art/" + std::to_string(*id) + ".jpg");
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetWebUrl(*id, p); }, hr),
                  station.BaseUrl() + "/web/" + std::to_string(*id));
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetQuality(*id, p); }, hr), "128 kbps");
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetAFD(*id, p); }, hr), "mp3");
        EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetClipUrl(*id, p); }, hr), "");
        EXPECT_EQ(hr, S_OK);
        EXPECT_NE(TextOf([&](BSTR* p) { return engine.GetTrackUrl(*id, p); }, hr).find("/content/"),
                  std::string::npos);
        INT nDelay = -1;
        LONG nSkippable = -1;
        EXPECT_EQ(engine.GetDisplayDelay(*id, &nDelay), S_OK);
        EXPECT_EQ(nDelay, 0);
        EXPECT_EQ(engine.GetSkippable(*id, &nSkippable), S_OK);
        EXPECT_EQ(nSkippable, 1);

        // A track id other than the one handed out.
        EXPECT_EQ(engine.OpenStream(*id + 1000), DISP_E_EXCEPTION);
        EXPECT_EQ(TakeErrorInfo().dwHelpContext, 7u);
        PlayTrack(engine, *id);
    }
    EXPECT_NE(played[0], played[1]);
    EXPECT_EQ(engine.StopSession(), S_OK);

    pEngine.Reset();
    EXPECT_EQ(TraceMessages(trace, host::kTraceKindClose, ""), 1u);
    EXPECT_EQ(Export("DllCanUnloadNow")(), S_OK);
}

// Calls from inside the callback never wait on the thread they are made on: StopSession
// ends the session, ChangeStation and StartSession fail at once with code 18 and the
// session goes on. After StopSession, ChangeStation lets the callback hear the new station.
TEST_F(RadioEngineTest, CallsFromInsideTheCallbackAndAStationChangeAfterStopSession)
{
    struct SRow
    {
        const char* name;
        PfnEngineCall pfnCall;
        HRESULT hrWant;
        DWORD dwCodeWant;
    };
    static const BStr edge("edge");
    const SRow rows[] = {
        {"ChangeStation", [](IRadioEngine& e) { return e.ChangeStation(edge.Get()); },
         DISP_E_EXCEPTION, 18},
        {"StartSession",
         [](IRadioEngine& e)
         {
             return e.StartSession(edge.Get(), edge.Get(), edge.Get(), edge.Get(), edge.Get(),
                                   reinterpret_cast<LONG_PTR>(&CallingBackCallback));
         },
         DISP_E_EXCEPTION, 18},
        {"StopSession", [](IRadioEngine& e) { return e.StopSession(); }, S_OK, 0},
    };
    station.Rules().AddRule("station edge tracks 901");
    station.Rules().AddRule("station edge size 20000");
    uint32_t nHolds = 0;
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        // The first sequence waits, so that the first request fails with 11 and 7 answers.
        station.Rules().AddRule("station edge hold 0 times 1");
        ComPtr<IRadioEngine> pEngine = Create();
        ASSERT_TRUE(pEngine);
        ASSERT_EQ(pEngine->StartSession(edge.Get(), edge.Get(), edge.Get(), edge.Get(), edge.Get(),
                                        reinterpret_cast<LONG_PTR>(&CallingBackCallback)),
                  S_OK);
        ASSERT_TRUE(station.WaitForHolds(++nHolds));
        INT nTrackID = 0;
        ASSERT_EQ(pEngine->GetNextTrackID(&nTrackID), DISP_E_EXCEPTION);
        ASSERT_EQ(TakeErrorInfo().dwHelpContext, 11u);
        const std::size_t nFrom = Status().Count();
        g_pfnInside = row.pfnCall;
        g_pCallInside = pEngine.Get();
        ASSERT_EQ(pEngine->AckNotified(0), S_OK);
        station.ReleaseHeld();
        if (!Status().WaitForCode(nFrom, {7}, kLimitMs))
            testsupport::FailAndEnd(std::string("7 and the return of ") + row.name +
                                        " called from inside the callback",
                                    kLimitMs, {__builtin_FILE(), __builtin_LINE()});
        EXPECT_EQ(g_hrInside.load(), row.hrWant);
        EXPECT_EQ(g_dwInsideCode.load(), row.dwCodeWant);
        if (row.hrWant == S_OK) // the session has ended
        {
            EXPECT_EQ(pEngine->GetNextTrackID(&nTrackID), DISP_E_EXCEPTION);
            EXPECT_EQ(TakeErrorInfo().dwHelpContext, 14u);
            EXPECT_EQ(pEngine->ChangeStation(edge.Get()), S_OK);
        }
        const std::optional<INT> id = NextTrack(*pEngine.Get());
        EXPECT_EQ(id, std::optional<INT>(901));
        EXPECT_EQ(pEngine->StopSession(), S_OK);
    }
}

TEST_F(RadioEngineTest, LateBoundCallsReachTheirSlotsByMemidAndName)
{
    station.Rules().AddRule("track 101 field artistid=7001");
    station.Rules().AddRule("track 101 field albumid=8001");
    ComPtr<IRadioEngine> pEngine = Create();
    ASSERT_TRUE(pEngine);
    IRadioEngine& engine = *pEngine.Get();
    ComPtr<IDispatch> pDispatch;
    ASSERT_EQ(pEngine.As(IID_IDispatch, pDispatch), S_OK);

    // The memids of the last two slots are crossed; the names resolve to them.
    for (const auto& [name, memid] : {std::pair{u"GetArtistID", 30}, std::pair{u"getalbumid", 31},
                                      std::pair{u"ReadStream", 10}})
    {
        std::u16string strName = name;
        LPOLESTR names[] = {strName.data()};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(pDispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        EXPECT_EQ(id, memid);
    }
    std::u16string strMethod = u"StartSession", strParam = u"strStatioName";
    LPOLESTR names[] = {strMethod.data(), strParam.data()};
    DISPID ids[2] = {};
    EXPECT_EQ(pDispatch->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 1);

    // Calls memid with (0, out INT); the value written, and the result.
    const auto callIdGetter = [&](DISPID memid, HRESULT& hr)
    {
        INT nValue = -1;
        VARIANT args[2];
        VariantInit(&args[0]);
        VariantInit(&args[1]);
        args[1].vt = VT_INT;
        args[1].intVal = 0;
        args[0].vt = VT_INT | VT_BYREF;
        args[0].pintVal = &nValue;
        DISPPARAMS params = {args, nullptr, 2, 0};
        hr = pDispatch->Invoke(memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               nullptr, nullptr, nullptr);
        return nValue;
    };

    // A failure through Invoke carries the engine's error in EXCEPINFO.
    {
        INT nTrackID = -1;
        VARIANT arg;
        VariantInit(&arg);
        arg.vt = VT_INT | VT_BYREF;
        arg.pintVal = &nTrackID;
        DISPPARAMS params = {&arg, nullptr, 1, 0};
        EXCEPINFO excep{};
        EXPECT_EQ(pDispatch->Invoke(12, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    nullptr, &excep, nullptr),
                  DISP_E_EXCEPTION);
        EXPECT_EQ(excep.dwHelpContext, 14u);
        EXPECT_EQ(excep.scode, DISP_E_EXCEPTION);
        EXPECT_TRUE(EndsWith(BStr::Adopt(excep.bstrDescription).ToUtf8(),
                             "OVEXC - Station is not initialized. Call StartStation\n"));
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrHelpFile);
    }

    // StartSession late bound, the callback as a pointer-sized integer.
    {
        BStr station("demo"), name("Demo"), afd("afd"), caps("caps"), user("::id=42");
        VARIANT args[6];
        for (VARIANT& arg : args)
            VariantInit(&arg);
        BSTR texts[] = {station.Get(), name.Get(), afd.Get(), caps.Get(), user.Get()};
        for (int i = 0; i < 5; ++i)
        {
            args[5 - i].vt = VT_BSTR;
            args[5 - i].bstrVal = texts[i];
        }
        args[0].vt = VT_I8;
        args[0].llVal = reinterpret_cast<LONG_PTR>(&StatusCallback);
        DISPPARAMS params = {args, nullptr, 6, 0};
        ASSERT_EQ(pDispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    nullptr, nullptr, nullptr),
                  S_OK);
    }
    const std::optional<INT> id = NextTrack(engine);
    ASSERT_TRUE(id);
    ASSERT_EQ(*id, 101);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(callIdGetter(30, hr), 7001);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(callIdGetter(31, hr), 8001);
    EXPECT_EQ(hr, S_OK);
    INT nArtist = 0, nAlbum = 0;
    EXPECT_EQ(engine.GetArtistID(0, &nArtist), S_OK);
    EXPECT_EQ(engine.GetAlbumID(0, &nAlbum), S_OK);
    EXPECT_EQ(nArtist, 7001);
    EXPECT_EQ(nAlbum, 8001);

    // ReadStream late bound, the buffer as a pointer-sized integer.
    ASSERT_EQ(engine.OpenStream(*id), S_OK);
    INT nSize = 0;
    ASSERT_EQ(engine.GetStreamTotalSizeBytes(&nSize), S_OK);
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (true)
    {
        char buffer[16384];
        INT nStatus = -1;
        LONG nRead = -1;
        VARIANT args[4];
        for (VARIANT& arg : args)
            VariantInit(&arg);
        args[3].vt = VT_I4;
        args[3].lVal = sizeof buffer;
        args[2].vt = VT_I8;
        args[2].llVal = reinterpret_cast<LONG_PTR>(buffer);
        args[1].vt = VT_INT | VT_BYREF;
        args[1].pintVal = &nStatus;
        args[0].vt = VT_I4 | VT_BYREF;
        args[0].plVal = &nRead;
        DISPPARAMS params = {args, nullptr, 4, 0};
        ASSERT_EQ(pDispatch->Invoke(10, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    nullptr, nullptr, nullptr),
                  S_OK);
        if (nStatus == RS_EOF)
            break;
        bytes.append(buffer, static_cast<std::size_t>(nRead));
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "no end of the track within " << kLimitMs << " ms";
    }
    EXPECT_TRUE(bytes == downloadtest::StationSong(101, static_cast<uint32_t>(nSize)));
    EXPECT_EQ(engine.CloseStream(), S_OK);
}

TEST_F(RadioEngineTest, ValuesBeforeAnyTrackNullPointersAndTheRadioCache)
{
    ComPtr<IRadioEngine> pEngine = Create();
    ASSERT_TRUE(pEngine);
    IRadioEngine& engine = *pEngine.Get();

    ComPtr<ISupportErrorInfo> pSupport;
    ASSERT_EQ(pEngine.As(IID_ISupportErrorInfo, pSupport), S_OK);
    EXPECT_EQ(pSupport->InterfaceSupportsErrorInfo(IID_IRadioEngine), S_OK);
    EXPECT_EQ(pSupport->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    ComPtr<IClassFactory> pNoFactory;
    EXPECT_EQ(pEngine.As(IID_IClassFactory, pNoFactory), E_NOINTERFACE);

    // Stream values before any OpenStream; track values before any track.
    INT nValue = -1;
    LONG nLong = -1;
    EXPECT_EQ(engine.GetStreamBitRate(&nValue), S_OK);
    EXPECT_EQ(nValue, 0);
    EXPECT_EQ(engine.GetStreamTotalSizeBytes(&nValue), S_OK);
    EXPECT_EQ(nValue, 0);
    EXPECT_EQ(engine.GetStreamNumChannels(&nValue), S_OK);
    EXPECT_EQ(nValue, 0);
    EXPECT_EQ(engine.GetStreamFrequency(&nLong), S_OK);
    EXPECT_EQ(nLong, 0);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetStreamFormat(p); }, hr), "mp3");
    EXPECT_EQ(TextOf([&](BSTR* p) { return engine.GetTrackName(1, p); }, hr), "");
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(engine.GetArtistID(1, &nValue), S_OK);
    EXPECT_EQ(nValue, 0);

    // Null out pointers: E_POINTER, nothing done.
    EXPECT_EQ(engine.GetTrackName(1, nullptr), E_POINTER);
    EXPECT_EQ(engine.GetStreamFormat(nullptr), E_POINTER);
    EXPECT_EQ(engine.GetBrowserStr(1, nullptr), E_POINTER);
    EXPECT_EQ(engine.GetStreamBitRate(nullptr), E_POINTER);
    EXPECT_EQ(engine.GetStreamFrequency(nullptr), E_POINTER);
    EXPECT_EQ(engine.GetSkippable(1, nullptr), E_POINTER);
    EXPECT_EQ(engine.GetDisplayDelay(1, nullptr), E_POINTER);
    EXPECT_EQ(engine.GetAlbumID(1, nullptr), E_POINTER);
    EXPECT_EQ(engine.GetArtistID(1, nullptr), E_POINTER);
    EXPECT_EQ(engine.GetNextTrackID(nullptr), E_POINTER);
    char buffer[16];
    INT nStatus = -1;
    EXPECT_EQ(engine.ReadStream(sizeof buffer, reinterpret_cast<LONG_PTR>(buffer), nullptr, &nLong),
              E_POINTER);
    EXPECT_EQ(engine.ReadStream(sizeof buffer, 0, &nStatus, &nLong), E_POINTER);
    EXPECT_EQ(engine.ReadStream(-1, reinterpret_cast<LONG_PTR>(buffer), &nStatus, &nLong),
              E_INVALIDARG);
    // Nothing open: the end, with no byte.
    EXPECT_EQ(
        engine.ReadStream(sizeof buffer, reinterpret_cast<LONG_PTR>(buffer), &nStatus, &nLong),
        S_OK);
    EXPECT_EQ(nStatus, RS_EOF);
    EXPECT_EQ(nLong, 0);
    // A null BSTR in is an empty text: no station to change to, no crash.
    EXPECT_EQ(engine.RefreshSequence(nullptr, nullptr), S_OK);

    // The radio cache: a maximum below 1 disables it and keeps the old safety margin.
    platform::SetFreeSpaceOverride([](const std::string&) { return ULONGLONG{1} << 40; });
    double fMax = -1, fMargin = -1, fCur = -1;
    INT nCacheStatus = -1;
    ASSERT_EQ(engine.GetRadioCacheStatus(&fMax, &fMargin, &fCur, &nCacheStatus), S_OK);
    EXPECT_EQ(nCacheStatus, 0);
    EXPECT_GT(fMax, 1.0);
    EXPECT_EQ(fCur, 0.0);
    const double fOldMargin = fMargin;
    EXPECT_EQ(engine.SetRadioCacheStatus(0.5, 10.0), S_OK);
    fMax = fMargin = fCur = -1;
    ASSERT_EQ(engine.GetRadioCacheStatus(&fMax, &fMargin, &fCur, &nCacheStatus), S_OK);
    EXPECT_EQ(fMax, 0.0);
    EXPECT_EQ(fCur, 0.0);
    EXPECT_EQ(fMargin, fOldMargin);
    EXPECT_EQ(engine.GetRadioCacheStatus(nullptr, nullptr, nullptr, nullptr), S_OK);
    // Enabled again with new figures.
    EXPECT_EQ(engine.SetRadioCacheStatus(5000000.0, 20000.0), S_OK);
    ASSERT_EQ(engine.GetRadioCacheStatus(&fMax, &fMargin, &fCur, &nCacheStatus), S_OK);
    EXPECT_EQ(fMax, 5000000.0);
    EXPECT_EQ(fMargin, 20000.0);
    platform::SetFreeSpaceOverride({});
}

TEST_F(RadioEngineTest, RegistrationFactoryLocksAndUnregistration)
{
    using platform::Hive;
    namespace Registry = platform::Registry;
    EXPECT_EQ(
        Registry::QueryString(Hive::ClassesRoot, OVRADIO_VERSION_INDEPENDENT_PROGID "\\CurVer", ""),
        OVRADIO_PROGID);
    const std::optional<std::string> path =
        Registry::QueryString(Hive::ClassesRoot, std::string(kClassKey) + "\\InprocServer32", "");
    ASSERT_TRUE(path);
    EXPECT_NE(path->find("libOVRadioEngine.so"), std::string::npos) << *path;
    EXPECT_EQ(path->front(), '/');
    EXPECT_EQ(Registry::QueryString(Hive::ClassesRoot, std::string(kClassKey) + "\\InprocServer32",
                                    "ThreadingModel"),
              "Apartment");

    // A reference to the class factory and a server lock each keep the library.
    ComPtr<IClassFactory> pFactory;
    ASSERT_EQ(CoGetClassObject(CLSID_RadioEngineObj, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, pFactory.OutVoid()),
              S_OK);
    EXPECT_EQ(Export("DllCanUnloadNow")(), S_FALSE);
    ComPtr<IUnknown> pAggregated;
    EXPECT_EQ(pFactory->CreateInstance(reinterpret_cast<IUnknown*>(pFactory.Get()), IID_IUnknown,
                                       pAggregated.OutVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    IClassFactory* pRawFactory = pFactory.Get();
    pFactory.Reset();
    EXPECT_EQ(Export("DllCanUnloadNow")(), S_FALSE);
    {
        ComPtr<IUnknown> pObject;
        ASSERT_EQ(pRawFactory->CreateInstance(nullptr, IID_IUnknown, pObject.OutVoid()), S_OK);
        EXPECT_EQ(pRawFactory->LockServer(FALSE), S_OK);
        EXPECT_EQ(Export("DllCanUnloadNow")(), S_FALSE);
    }
    EXPECT_EQ(Export("DllCanUnloadNow")(), S_OK);
    // Another class is not this library's.
    void* pNone = nullptr;
    const auto pfnGetClassObject =
        reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(m_hLibrary, "DllGetClassObject"));
    ASSERT_NE(pfnGetClassObject, nullptr);
    EXPECT_EQ(pfnGetClassObject(IID_IRadioEngine, IID_IClassFactory, &pNone),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pNone, nullptr);
    // Only the entry points leave the library.
    EXPECT_EQ(::dlsym(m_hLibrary, "ReportError"), nullptr);
    EXPECT_EQ(::dlsym(m_hLibrary, "_Z11ReportErrorRK16CRadEngException"), nullptr);

    ASSERT_EQ(Export("DllUnregisterServer")(), S_OK);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"" OVRADIO_VERSION_INDEPENDENT_PROGID, &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"" OVRADIO_PROGID, &clsid), CO_E_CLASSSTRING);
    ComPtr<IRadioEngine> pEngine;
    EXPECT_EQ(CoCreateInstance(CLSID_RadioEngineObj, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IRadioEngine, pEngine.OutVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(Registry::KeyExists(Hive::ClassesRoot, "CLSID"));
    EXPECT_FALSE(Registry::KeyExists(Hive::ClassesRoot, kClassKey));

    // The runtime lets go of a library that may be unloaded, but this one stays: engine
    // threads may outlive their objects.
    CoFreeUnusedLibraries();
    ::dlclose(m_hLibrary);
    m_hLibrary = ::dlopen(OVR_ENGINE_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(m_hLibrary, nullptr) << "the engine library was unloaded";
}
} // namespace
