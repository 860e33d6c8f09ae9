// The binary contract of IRadioEngine as hosts rely on it: the identifiers' values, each
// operation in its vtable slot with its parameter types, and each member id reaching its
// operation through IDispatch::Invoke.
#include "engine/RadioEngineObj.h"
#include "host/Preferences.h"
#include "platform/Utf.h"
#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"
#include "support/TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>
#include <ovradio/RadioEngine.h>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

const IID& RadioEngineHeaderAloneIid();

namespace
{
std::string GuidText(REFGUID guid)
{
    OLECHAR text[CHARS_IN_GUID] = {};
    EXPECT_EQ(StringFromGUID2(guid, text, CHARS_IN_GUID), CHARS_IN_GUID);
    return platform::Utf16ToUtf8(text);
}

// The kinds of parameter an operation of the interface takes.
enum class EArg
{
    Text,
    Int,
    Long,
    Pointer,
    Real,
    OutInt,
    OutLong,
    OutText,
    OutReal
};

template <typename T>
constexpr EArg KindOf()
{
    if constexpr (std::is_same_v<T, BSTR>)
        return EArg::Text;
    else if constexpr (std::is_same_v<T, INT>)
        return EArg::Int;
    else if constexpr (std::is_same_v<T, LONG_PTR>)
        return EArg::Pointer;
    else if constexpr (std::is_same_v<T, double>)
        return EArg::Real;
    else if constexpr (std::is_same_v<T, INT*>)
        return EArg::OutInt;
    else if constexpr (std::is_same_v<T, BSTR*>)
        return EArg::OutText;
    else
    {
        static_assert(std::is_same_v<T, double*>, "a parameter type hosts do not know");
        return EArg::OutReal;
    }
}

// INT and LONG are one type to the compiler (both 32 bits); only the late-bound
// signature tells them apart (VT_INT, VT_I4).
std::vector<EArg> AsCompiled(std::vector<EArg> params)
{
    static_assert(std::is_same_v<INT, LONG>);
    for (EArg& param : params)
        param = param == EArg::Long ? EArg::Int : param == EArg::OutLong ? EArg::OutInt : param;
    return params;
}

// An operation as the compiler lays it out: its position among the interface's own
// operations (1 to 31, after IUnknown's three and IDispatch's four slots) and its
// parameters. A pointer to a virtual member holds 1 + the slot's byte offset (the
// Itanium C++ ABI of GCC and Clang on Linux).
struct SLayout
{
    std::ptrdiff_t nPosition = 0;
    std::vector<EArg> params;
};

template <typename... Args>
SLayout LayoutOf(HRESULT (STDMETHODCALLTYPE IRadioEngine::*pmf)(Args...))
{
    static_assert(sizeof(pmf) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &pmf, sizeof words);
    return {(words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)) - 6, {KindOf<Args>()...}};
}

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
// fixed per kind (text "demo", integer 3, count 16, pointer 0, reals 2.5, 5, ...), outputs
// preset to values no operation writes.
SOutcome InvokeByMemid(IDispatch& object, DISPID memid, const std::vector<EArg>& kinds)
{
    const std::size_t n = kinds.size();
    std::vector<VARIANT> args(n);
    std::vector<INT> ints(n, -7);
    std::vector<LONG> longs(n, -7);
    std::vector<BSTR> texts(n, nullptr);
    std::vector<double> reals(n, -7.0);
    platform::com::BStr input("demo");
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
            arg.lVal = 16;
            break;
        case EArg::Pointer:
            arg.vt = VT_I8;
            arg.llVal = 0;
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
            outs << '"' << platform::com::BStr::Adopt(texts[i]).ToUtf8() << "\" ";
    }
    outcome.strOuts = outs.str();
    return outcome;
}
} // namespace

static_assert(std::is_base_of_v<IDispatch, IRadioEngine>);
static_assert(sizeof(LONG_PTR) == sizeof(void*) && std::is_signed_v<LONG_PTR>);
static_assert(sizeof(LONG) == 4 && sizeof(INT) == 4);
static_assert(std::is_same_v<OVRADIO_STATUS_CALLBACK, void (*)(LONG, const char*)>);
static_assert(RS_OK == 0 && RS_EOF == 1 && RS_NODATAVAILABLE == 2);

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

// Hosts built elsewhere call each operation by its vtable slot, and late bound by its
// member id (the last two member ids are crossed against their slots). Each member id is
// told from the others by what its operation answers on an engine without a session; one
// that reached an operation of other parameters would fail to bind its arguments.
TEST(RadioEngineInterface, EachOperationHasItsSlotParametersAndMemberId)
{
    testsupport::TempHome home;
    // Nothing answers here: the session started last finds no server.
    ASSERT_EQ(host::PrefSetValueString("OVRadio", "SequenceUrl", "http://127.0.0.1:1/s?"), 0);
    platform::com::ComPtr<IRadioEngine> engine;
    ASSERT_EQ(RadioEngineObj::CreateInstance(IID_IRadioEngine, engine.OutVoid()), S_OK);
    using enum EArg;
    using R = IRadioEngine;
    const HRESULT kFailed = DISP_E_EXCEPTION;
    struct SRow
    {
        const char* name;
        DISPID memid;
        std::ptrdiff_t nPosition;
        SLayout layout;
        std::vector<EArg> params;
        SOutcome expected;
    };
    const SRow rows[] = {
        {"ChangeStation", 1, 1, LayoutOf(&R::ChangeStation), {Text}, {S_OK, 0, ""}},
        {"RefreshSequence", 3, 3, LayoutOf(&R::RefreshSequence), {Text, Text}, {S_OK, 0, ""}},
        {"StopSession", 4, 4, LayoutOf(&R::StopSession), {}, {S_OK, 0, ""}},
        {"OpenStream", 5, 5, LayoutOf(&R::OpenStream), {Int}, {kFailed, 16, ""}},
        {"GetStreamBitRate", 6, 6, LayoutOf(&R::GetStreamBitRate), {OutInt}, {S_OK, 0, "0 "}},
        {"GetStreamTotalSizeBytes",
         7,
         7,
         LayoutOf(&R::GetStreamTotalSizeBytes),
         {OutInt},
         {S_OK, 0, "0 "}},
        {"GetStreamNumChannels",
         8,
         8,
         LayoutOf(&R::GetStreamNumChannels),
         {OutInt},
         {S_OK, 0, "0 "}},
        {"GetStreamFrequency", 9, 9, LayoutOf(&R::GetStreamFrequency), {OutLong}, {S_OK, 0, "0 "}},
        {"ReadStream (a count without a buffer)",
         10,
         10,
         LayoutOf(&R::ReadStream),
         {Long, Pointer, OutInt, OutLong},
         {kFailed, 0, "-7 -7 "}},
        {"CloseStream", 11, 11, LayoutOf(&R::CloseStream), {}, {S_OK, 0, ""}},
        {"GetNextTrackID", 12, 12, LayoutOf(&R::GetNextTrackID), {OutInt}, {kFailed, 14, "-7 "}},
        {"GetTrackName", 13, 13, LayoutOf(&R::GetTrackName), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetArtistName", 14, 14, LayoutOf(&R::GetArtistName), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetAlbumName", 15, 15, LayoutOf(&R::GetAlbumName), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetClipUrl", 16, 16, LayoutOf(&R::GetClipUrl), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetSkippable", 17, 17, LayoutOf(&R::GetSkippable), {Int, OutLong}, {S_OK, 0, "0 "}},
        {"GetDisplayDelay", 18, 18, LayoutOf(&R::GetDisplayDelay), {Int, OutInt}, {S_OK, 0, "0 "}},
        {"GetArtUrl", 19, 19, LayoutOf(&R::GetArtUrl), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"AckNotified", 20, 20, LayoutOf(&R::AckNotified), {Int}, {S_OK, 0, ""}},
        {"GetTrackUrl", 21, 21, LayoutOf(&R::GetTrackUrl), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetWebUrl", 22, 22, LayoutOf(&R::GetWebUrl), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetText", 23, 23, LayoutOf(&R::GetText), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetAFD", 24, 24, LayoutOf(&R::GetAFD), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetQuality", 25, 25, LayoutOf(&R::GetQuality), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetBrowserStr", 26, 26, LayoutOf(&R::GetBrowserStr), {Int, OutText}, {S_OK, 0, "\"\" "}},
        {"GetStreamFormat",
         27,
         27,
         LayoutOf(&R::GetStreamFormat),
         {OutText},
         {S_OK, 0, "\"mp3\" "}},
        {"SetRadioCacheStatus",
         29,
         29,
         LayoutOf(&R::SetRadioCacheStatus),
         {Real, Real},
         {S_OK, 0, ""}},
        {"GetRadioCacheStatus (as just set)",
         28,
         28,
         LayoutOf(&R::GetRadioCacheStatus),
         {OutReal, OutReal, OutReal, OutInt},
         {S_OK, 0, "2.5 5 0 0 "}},
        {"GetArtistID", 30, 31, LayoutOf(&R::GetArtistID), {Int, OutInt}, {S_OK, 0, "0 "}},
        {"GetAlbumID", 31, 30, LayoutOf(&R::GetAlbumID), {Int, OutInt}, {S_OK, 0, "0 "}},
        {"StartSession (without a callback)",
         2,
         2,
         LayoutOf(&R::StartSession),
         {Text, Text, Text, Text, Text, Pointer},
         {S_OK, 0, ""}},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.layout.nPosition, row.nPosition) << "its vtable slot";
        EXPECT_EQ(row.layout.params, AsCompiled(row.params)) << "its parameter types";
        EXPECT_EQ(InvokeByMemid(*engine.Get(), row.memid, row.params), row.expected);
    }
}
