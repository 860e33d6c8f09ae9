// The binary contract of IRadioEngine as a host compiled elsewhere sees it: each operation
// in its vtable slot with its parameter types, and the identifiers' values.
#include "engine/RadioEngineObj.h"
#include "host/Preferences.h"
#include "platform/Utf.h"
#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <ovradio/RadioEngine.h>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

const IID& RadioEngineHeaderAloneIid();

namespace
{
// IUnknown's three slots and IDispatch's four come first.
constexpr int kFirstEngineSlot = 7;

// Each operation records its position in the interface (1 to 31) and its arguments.
class SlotRecorder final : public IRadioEngine
{
public:
    int m_nSlot = 0;
    std::vector<long long> m_args;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return Hit(-1); }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return Hit(-1); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return Hit(-1); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return Hit(-1);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        return Hit(-1);
    }

    HRESULT STDMETHODCALLTYPE ChangeStation(BSTR s) override { return Hit(1, Len(s)); }
    HRESULT STDMETHODCALLTYPE StartSession(BSTR a, BSTR b, BSTR c, BSTR d, BSTR e,
                                           LONG_PTR callback) override
    {
        return Hit(2, Len(a), Len(b), Len(c), Len(d), Len(e), callback);
    }
    HRESULT STDMETHODCALLTYPE RefreshSequence(BSTR a, BSTR b) override
    {
        return Hit(3, Len(a), Len(b));
    }
    HRESULT STDMETHODCALLTYPE StopSession() override { return Hit(4); }
    HRESULT STDMETHODCALLTYPE OpenStream(INT n) override { return Hit(5, n); }
    HRESULT STDMETHODCALLTYPE GetStreamBitRate(INT* p) override { return Out(6, p); }
    HRESULT STDMETHODCALLTYPE GetStreamTotalSizeBytes(INT* p) override { return Out(7, p); }
    HRESULT STDMETHODCALLTYPE GetStreamNumChannels(INT* p) override { return Out(8, p); }
    HRESULT STDMETHODCALLTYPE GetStreamFrequency(LONG* p) override { return Out(9, p); }
    HRESULT STDMETHODCALLTYPE ReadStream(LONG n, LONG_PTR buffer, INT* status, LONG* read) override
    {
        *status = RS_NODATAVAILABLE;
        *read = n - 1;
        return Hit(10, n, buffer);
    }
    HRESULT STDMETHODCALLTYPE CloseStream() override { return Hit(11); }
    HRESULT STDMETHODCALLTYPE GetNextTrackID(INT* p) override { return Out(12, p); }
    HRESULT STDMETHODCALLTYPE GetTrackName(INT n, BSTR* p) override { return Text(13, n, p); }
    HRESULT STDMETHODCALLTYPE GetArtistName(INT n, BSTR* p) override { return Text(14, n, p); }
    HRESULT STDMETHODCALLTYPE GetAlbumName(INT n, BSTR* p) override { return Text(15, n, p); }
    HRESULT STDMETHODCALLTYPE GetClipUrl(INT n, BSTR* p) override { return Text(16, n, p); }
    HRESULT STDMETHODCALLTYPE GetSkippable(INT n, LONG* p) override { return Out(17, p, n); }
    HRESULT STDMETHODCALLTYPE GetDisplayDelay(INT n, INT* p) override { return Out(18, p, n); }
    HRESULT STDMETHODCALLTYPE GetArtUrl(INT n, BSTR* p) override { return Text(19, n, p); }
    HRESULT STDMETHODCALLTYPE AckNotified(INT n) override { return Hit(20, n); }
    HRESULT STDMETHODCALLTYPE GetTrackUrl(INT n, BSTR* p) override { return Text(21, n, p); }
    HRESULT STDMETHODCALLTYPE GetWebUrl(INT n, BSTR* p) override { return Text(22, n, p); }
    HRESULT STDMETHODCALLTYPE GetText(INT n, BSTR* p) override { return Text(23, n, p); }
    HRESULT STDMETHODCALLTYPE GetAFD(INT n, BSTR* p) override { return Text(24, n, p); }
    HRESULT STDMETHODCALLTYPE GetQuality(INT n, BSTR* p) override { return Text(25, n, p); }
    HRESULT STDMETHODCALLTYPE GetBrowserStr(INT n, BSTR* p) override { return Text(26, n, p); }
    HRESULT STDMETHODCALLTYPE GetStreamFormat(BSTR* p) override { return Text(27, 0, p); }
    HRESULT STDMETHODCALLTYPE GetRadioCacheStatus(double* max, double* margin, double* cur,
                                                  INT* status) override
    {
        *max = 1.5;
        *margin = 2.5;
        *cur = 3.5;
        *status = 28;
        return Hit(28);
    }
    HRESULT STDMETHODCALLTYPE SetRadioCacheStatus(double max, double margin) override
    {
        return Hit(29, static_cast<long long>(max * 10), static_cast<long long>(margin * 10));
    }
    HRESULT STDMETHODCALLTYPE GetAlbumID(INT n, INT* p) override { return Out(30, p, n); }
    HRESULT STDMETHODCALLTYPE GetArtistID(INT n, INT* p) override { return Out(31, p, n); }

private:
    template <typename... Args>
    HRESULT Hit(int nSlot, Args... args)
    {
        m_nSlot = nSlot;
        m_args = {static_cast<long long>(args)...};
        return S_OK;
    }
    template <typename T, typename... Args>
    HRESULT Out(int nSlot, T* p, Args... args)
    {
        *p = static_cast<T>(nSlot * 100);
        return Hit(nSlot, args...);
    }
    HRESULT Text(int nSlot, INT n, BSTR* p)
    {
        *p = SysAllocString(platform::Utf8ToUtf16("slot " + std::to_string(nSlot)).c_str());
        return Hit(nSlot, n);
    }
    static long long Len(BSTR s) { return SysStringLen(s); }
};

// Calls the function in the given slot of the interface's vtable as a host built by
// another compiler would: the table's entry, with the object as first argument.
template <typename... Args>
HRESULT CallSlot(IRadioEngine* pEngine, int nSlot, Args... args)
{
    using Function = HRESULT (*)(IRadioEngine*, Args...);
    void* const* vtable = *reinterpret_cast<void* const* const*>(pEngine);
    return reinterpret_cast<Function>(vtable[kFirstEngineSlot - 1 + nSlot])(pEngine, args...);
}

std::string TakeText(BSTR bstr)
{
    std::string text = platform::Utf16ToUtf8(std::u16string_view(bstr, SysStringLen(bstr)));
    SysFreeString(bstr);
    return text;
}

std::string GuidText(REFGUID guid)
{
    OLECHAR text[CHARS_IN_GUID] = {};
    EXPECT_EQ(StringFromGUID2(guid, text, CHARS_IN_GUID), CHARS_IN_GUID);
    return platform::Utf16ToUtf8(text);
}

void StatusCallbackForTypeCheck(LONG, const char*) {}
} // namespace

// The parameter types are the interface's binary contract: a change here breaks hosts.
static_assert(std::is_same_v<decltype(&IRadioEngine::StartSession),
                             HRESULT (IRadioEngine::*)(BSTR, BSTR, BSTR, BSTR, BSTR, LONG_PTR)>);
static_assert(
    std::is_same_v<decltype(&IRadioEngine::GetStreamFrequency), HRESULT (IRadioEngine::*)(LONG*)>);
static_assert(std::is_same_v<decltype(&IRadioEngine::ReadStream),
                             HRESULT (IRadioEngine::*)(LONG, LONG_PTR, INT*, LONG*)>);
static_assert(
    std::is_same_v<decltype(&IRadioEngine::GetSkippable), HRESULT (IRadioEngine::*)(INT, LONG*)>);
static_assert(std::is_same_v<decltype(&IRadioEngine::GetRadioCacheStatus),
                             HRESULT (IRadioEngine::*)(double*, double*, double*, INT*)>);
static_assert(std::is_same_v<decltype(&IRadioEngine::SetRadioCacheStatus),
                             HRESULT (IRadioEngine::*)(double, double)>);
static_assert(std::is_base_of_v<IDispatch, IRadioEngine>);
static_assert(sizeof(LONG_PTR) == sizeof(void*) && std::is_signed_v<LONG_PTR>);
static_assert(sizeof(LONG) == 4 && sizeof(INT) == 4);
static_assert(std::is_same_v<OVRADIO_STATUS_CALLBACK, decltype(&StatusCallbackForTypeCheck)>);
static_assert(RS_OK == 0 && RS_EOF == 1 && RS_NODATAVAILABLE == 2);

TEST(RadioEngineInterface, EachSlotOfTheVtableReachesItsOperationWithItsArguments)
{
    SlotRecorder recorder;
    IRadioEngine* pEngine = &recorder;
    BSTR station = SysAllocString(u"station");
    BSTR name = SysAllocString(u"na");
    auto expect = [&](int nSlot, std::vector<long long> args)
    {
        EXPECT_EQ(recorder.m_nSlot, nSlot);
        EXPECT_EQ(recorder.m_args, args) << "slot " << nSlot;
        recorder.m_nSlot = 0;
    };

    EXPECT_EQ(CallSlot(pEngine, 1, station), S_OK);
    expect(1, {7});
    const LONG_PTR callback = reinterpret_cast<LONG_PTR>(&StatusCallbackForTypeCheck);
    CallSlot(pEngine, 2, station, name, name, station, static_cast<BSTR>(nullptr), callback);
    expect(2, {7, 2, 2, 7, 0, callback});
    CallSlot(pEngine, 3, name, station);
    expect(3, {2, 7});
    CallSlot(pEngine, 4);
    expect(4, {});
    CallSlot(pEngine, 5, INT{-5});
    expect(5, {-5});
    for (int nSlot : {6, 7, 8, 12})
    {
        INT value = 0;
        CallSlot(pEngine, nSlot, &value);
        expect(nSlot, {});
        EXPECT_EQ(value, nSlot * 100);
    }
    LONG frequency = 0;
    CallSlot(pEngine, 9, &frequency);
    expect(9, {});
    EXPECT_EQ(frequency, 900);

    // The buffer's address travels whole, beyond 32 bits on a 64-bit system.
    char buffer[16];
    INT status = -1;
    LONG read = -1;
    CallSlot(pEngine, 10, LONG{16}, reinterpret_cast<LONG_PTR>(buffer), &status, &read);
    expect(10, {16, reinterpret_cast<LONG_PTR>(buffer)});
    EXPECT_EQ(status, RS_NODATAVAILABLE);
    EXPECT_EQ(read, 15);
    CallSlot(pEngine, 11);
    expect(11, {});

    for (int nSlot : {13, 14, 15, 16, 19, 21, 22, 23, 24, 25, 26})
    {
        BSTR text = nullptr;
        CallSlot(pEngine, nSlot, INT{12345}, &text);
        expect(nSlot, {12345});
        EXPECT_EQ(TakeText(text), "slot " + std::to_string(nSlot));
    }
    for (int nSlot : {18, 30, 31})
    {
        INT value = 0;
        CallSlot(pEngine, nSlot, INT{3}, &value);
        expect(nSlot, {3});
        EXPECT_EQ(value, nSlot * 100);
    }
    LONG skippable = 0;
    CallSlot(pEngine, 17, INT{3}, &skippable);
    expect(17, {3});
    EXPECT_EQ(skippable, 1700);
    CallSlot(pEngine, 20, INT{1});
    expect(20, {1});
    BSTR format = nullptr;
    CallSlot(pEngine, 27, &format);
    expect(27, {0});
    EXPECT_EQ(TakeText(format), "slot 27");

    double max = 0, margin = 0, current = 0;
    INT cacheStatus = 0;
    CallSlot(pEngine, 28, &max, &margin, &current, &cacheStatus);
    expect(28, {});
    EXPECT_EQ(max, 1.5);
    EXPECT_EQ(margin, 2.5);
    EXPECT_EQ(current, 3.5);
    EXPECT_EQ(cacheStatus, 28);
    CallSlot(pEngine, 29, 0.5, 10.0);
    expect(29, {5, 100});

    SysFreeString(station);
    SysFreeString(name);
}

TEST(RadioEngineInterface, IdentifiersHaveTheirRegisteredValues)
{
    EXPECT_EQ(GuidText(CLSID_RadioEngineObj), "{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_EQ(GuidText(IID_IRadioEngine), "{0C5D39AF-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_EQ(GuidText(LIBID_OVRADIOENGINELib), "{0C5D39A3-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_STREQ(OVRADIO_PROGID, "OVRadioEngine.RadioEngineObj.1");
    EXPECT_STREQ(OVRADIO_VERSION_INDEPENDENT_PROGID, "OVRadioEngine.RadioEngineObj");
    // Another translation unit's copy holds the same value.
    EXPECT_TRUE(IsEqualIID(RadioEngineHeaderAloneIid(), IID_IRadioEngine));
}

namespace
{
// The kinds of argument a method of the interface takes, in declaration order.
enum class EArg
{
    Text,
    Int,
    Long,
    Buffer,
    Callback,
    Real,
    OutInt,
    OutLong,
    OutText,
    OutReal
};

// What a call gave: its result, the help context of a failure, and the out values.
struct SOutcome
{
    HRESULT hr = E_UNEXPECTED;
    DWORD dwHelpContext = 0;
    std::string strOuts;
    bool operator==(const SOutcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SOutcome& outcome)
{
    return out << std::hex << outcome.hr << std::dec << " context " << outcome.dwHelpContext
               << " outs [" << outcome.strOuts << "]";
}

// Calls the member late bound, as a host does: arguments reversed in DISPPARAMS, inputs
// fixed per kind (text "demo", integer 3, count 16 with a buffer, reals 2.5, 5, ...), outputs
// preset to values no method writes.
SOutcome InvokeByMemid(IDispatch& object, DISPID memid, const std::vector<EArg>& kinds)
{
    const std::size_t n = kinds.size();
    std::vector<VARIANT> args(n);
    std::vector<INT> ints(n, -7);
    std::vector<LONG> longs(n, -7);
    std::vector<BSTR> texts(n, nullptr);
    std::vector<double> reals(n, -7.0);
    platform::com::BStr input("demo");
    char buffer[16] = {};
    for (std::size_t i = 0; i < n; ++i)
    {
        VARIANT& arg = args[n - 1 - i];
        VariantInit(&arg);
        switch (kinds[i])
        {
        case EArg::Text:
            arg.vt = VT_BSTR;
            arg.bstrVal = input.Get();
            break;
        case EArg::Int:
            arg.vt = VT_INT;
            arg.intVal = 3;
            break;
        case EArg::Long:
            arg.vt = VT_I4;
            arg.lVal = sizeof buffer;
            break;
        case EArg::Callback:
            arg.vt = VT_I8;
            arg.llVal = 0;
            break;
        case EArg::Buffer:
            arg.vt = VT_I8;
            arg.llVal = reinterpret_cast<LONG_PTR>(buffer);
            break;
        case EArg::Real:
            arg.vt = VT_R8;
            arg.dblVal = 2.5 * static_cast<double>(i + 1);
            break;
        case EArg::OutInt:
            arg.vt = VT_INT | VT_BYREF;
            arg.pintVal = &ints[i];
            break;
        case EArg::OutLong:
            arg.vt = VT_I4 | VT_BYREF;
            arg.plVal = &longs[i];
            break;
        case EArg::OutText:
            arg.vt = VT_BSTR | VT_BYREF;
            arg.pbstrVal = &texts[i];
            break;
        case EArg::OutReal:
            arg.vt = VT_R8 | VT_BYREF;
            arg.pdblVal = &reals[i];
            break;
        }
    }
    DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(n), 0};
    EXCEPINFO excep{};
    SOutcome outcome;
    outcome.hr = object.Invoke(memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               nullptr, &excep, nullptr);
    outcome.dwHelpContext = excep.dwHelpContext;
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    std::ostringstream outs;
    for (std::size_t i = 0; i < n; ++i)
    {
        if (kinds[i] == EArg::OutInt)
            outs << ints[i] << ' ';
        else if (kinds[i] == EArg::OutLong)
            outs << longs[i] << ' ';
        else if (kinds[i] == EArg::OutReal)
            outs << reals[i] << ' ';
        else if (kinds[i] == EArg::OutText)
        {
            outs << '"' << platform::com::BStr::Adopt(texts[i]).ToUtf8() << "\" ";
        }
    }
    outcome.strOuts = outs.str();
    return outcome;
}
} // namespace

// Hosts call the engine late bound by these member ids: each reaches its own method, told
// apart by what the method answers on an engine without a session (a member id that
// reaches a method of another signature fails to bind its arguments).
TEST(RadioEngineInterface, EachMemberIdReachesItsMethodThroughInvoke)
{
    testsupport::TempHome home;
    // Nothing answers here: the session started last finds no server.
    ASSERT_EQ(host::PrefSetValueString("OVRadio", "SequenceUrl", "http://127.0.0.1:1/s?"), 0);
    platform::com::ComPtr<IRadioEngine> engine;
    ASSERT_EQ(RadioEngineObj::CreateInstance(IID_IRadioEngine, engine.OutVoid()), S_OK);
    using enum EArg;
    struct SRow
    {
        const char* name;
        DISPID memid;
        std::vector<EArg> args;
        SOutcome expected;
    };
    const SRow rows[] = {
        {"ChangeStation", 1, {Text}, {S_OK, 0, ""}},
        {"RefreshSequence", 3, {Text, Text}, {S_OK, 0, ""}},
        {"StopSession", 4, {}, {S_OK, 0, ""}},
        {"OpenStream", 5, {Int}, {DISP_E_EXCEPTION, 16, ""}},
        {"GetStreamBitRate", 6, {OutInt}, {S_OK, 0, "0 "}},
        {"GetStreamTotalSizeBytes", 7, {OutInt}, {S_OK, 0, "0 "}},
        {"GetStreamNumChannels", 8, {OutInt}, {S_OK, 0, "0 "}},
        {"GetStreamFrequency", 9, {OutLong}, {S_OK, 0, "0 "}},
        {"ReadStream", 10, {Long, Buffer, OutInt, OutLong}, {S_OK, 0, "1 0 "}},
        {"CloseStream", 11, {}, {S_OK, 0, ""}},
        {"GetNextTrackID", 12, {OutInt}, {DISP_E_EXCEPTION, 14, "-7 "}},
        {"GetTrackName", 13, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetArtistName", 14, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetAlbumName", 15, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetClipUrl", 16, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetSkippable", 17, {Int, OutLong}, {S_OK, 0, "0 "}},
        {"GetDisplayDelay", 18, {Int, OutInt}, {S_OK, 0, "0 "}},
        {"GetArtUrl", 19, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"AckNotified", 20, {Int}, {S_OK, 0, ""}},
        {"GetTrackUrl", 21, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetWebUrl", 22, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetText", 23, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetAFD", 24, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetQuality", 25, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetBrowserStr", 26, {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetStreamFormat", 27, {OutText}, {S_OK, 0, "\"mp3\" "}},
        {"SetRadioCacheStatus", 29, {Real, Real}, {S_OK, 0, ""}},
        {"GetRadioCacheStatus", 28, {OutReal, OutReal, OutReal, OutInt}, {S_OK, 0, "2.5 5 0 0 "}},
        {"GetArtistID", 30, {Int, OutInt}, {S_OK, 0, "0 "}},
        {"GetAlbumID", 31, {Int, OutInt}, {S_OK, 0, "0 "}},
        {"StartSession", 2, {Text, Text, Text, Text, Text, Callback}, {S_OK, 0, ""}},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(InvokeByMemid(*engine.Get(), row.memid, row.args), row.expected);
    }
}
