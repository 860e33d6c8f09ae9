// The binary contract of IRadioEngine as a host compiled elsewhere sees it: each operation
// in its vtable slot with its parameter types, and the identifiers' values.
#include "platform/Utf.h"

#include <gtest/gtest.h>
#include <ovradio/RadioEngine.h>
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
