#include "TestCalc.h"
#include "Variants.h"
#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"
#include "platform/com/DispatchTable.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using platform::com::BStr;
using platform::com::ComPtr;
using platform::com::DispArgs;
using platform::com::DispatchTable;
using platform::com::ParamKind;

namespace
{
using namespace comtest;

// Invoke with arguments listed in declaration order; they are passed reversed, as OLE
// callers pass them.
struct Call
{
    HRESULT hr = S_OK;
    UINT argErr = 12345;
    EXCEPINFO excep{};
    VARIANT result{};

    ~Call()
    {
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        VariantClear(&result);
    }
};

void Invoke(IDispatch* object, DISPID memid, std::vector<VARIANT> args, Call& call,
            WORD flags = DISPATCH_METHOD)
{
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    VariantInit(&call.result);
    call.hr = object->Invoke(memid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &call.result,
                             &call.excep, &call.argErr);
}

class DispatchTest : public ::testing::Test
{
protected:
    void SetUp() override { calc = ComPtr<ITestCalc>::Adopt(testcalc::NewTestCalc()); }

    ComPtr<ITestCalc> calc;
};

// An unknown name gets DISPID_UNKNOWN while the known ones still resolve (names without
// regard to case are resolved in the integration's late-bound test); no type information
// is offered.
TEST_F(DispatchTest, UnknownNamesAndInterfacesAreRefused)
{
    std::u16string method = u"subtract", b = u"B", bogus = u"times", a = u"a";
    LPOLESTR names[] = {method.data(), b.data(), bogus.data(), a.data()};
    DISPID ids[4] = {7, 7, 7, 7};
    EXPECT_EQ(calc->GetIDsOfNames(IID_NULL, names, 4, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    EXPECT_EQ(ids[3], 0);
    EXPECT_EQ(calc->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);

    UINT nTypeInfos = 9;
    EXPECT_EQ(calc->GetTypeInfoCount(&nTypeInfos), S_OK);
    EXPECT_EQ(nTypeInfos, 0u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(this);
    EXPECT_EQ(calc->GetTypeInfo(0, 0, &info), E_NOTIMPL);
    EXPECT_EQ(info, nullptr);
}

// Where a call's out-values go, for the rows below.
struct SOut
{
    LONG difference = 0;
    INT asInt = 0;
    double real = 0;
    double value = 1.5;
    LONG ten = 10;
    BStr twelve{"12"};
    BStr word{"ten"};
    VARIANT_BOOL negated = VARIANT_FALSE;
    LONGLONG wide = 0;
};

// Invoke coerces in-values, writes out-values through references of their type only, and
// names a bad argument by its rgvarg index. (Arguments in declaration order, BSTRs and
// pointer-sized values, called by memid and name: the integration's late-bound test.)
TEST_F(DispatchTest, InvokePassesArgumentsAndRefusesWhatDoesNotFit)
{
    using Args = std::vector<VARIANT>;
    constexpr UINT kUntouched = 12345;
    struct SRow
    {
        const char* name;
        DISPID memid;
        Args (*args)(SOut&);
        HRESULT hr;
        std::string (*got)(const SOut&); // the out-values afterwards
        std::string want;
        UINT argErr = kUntouched;
        WORD flags = DISPATCH_METHOD;
    };
    const auto difference = [](const SOut& o) { return std::to_string(o.difference); };
    const SRow rows[] = {
        {"an in/out value read and written", 3,
         [](SOut& o) {
             return Args{R8(4.0), ByRef(VT_R8, &o.value)};
         },
         S_OK, [](const SOut& o) { return std::to_string(o.value); }, std::to_string(6.0)},
        {"VT_BOOL and VT_I8", 7,
         [](SOut& o) {
             return Args{Bool(false), I4(3), ByRef(VT_BOOL, &o.negated), ByRef(VT_I8, &o.wide)};
         },
         S_OK,
         [](const SOut& o) { return std::to_string(o.negated) + " " + std::to_string(o.wide); },
         "-1 " + std::to_string(3LL << 32)},
        {"\"12\" and 2.5 (half to even) coerced to I4", 1,
         [](SOut& o) {
             return Args{Str(o.twelve.Get()), R8(2.5), ByRef(VT_I4, &o.difference)};
         },
         S_OK, difference, "10"},
        {"a by-value argument through VT_BYREF", 1,
         [](SOut& o) {
             return Args{ByRef(VT_I4, &o.ten), I4(1), ByRef(VT_I4, &o.difference)};
         },
         S_OK, difference, "9"},
        {"VT_INT out for VT_I4", 1,
         [](SOut& o) {
             return Args{I4(5), I4(1), ByRef(VT_INT, &o.asInt)};
         },
         S_OK, [](const SOut& o) { return std::to_string(o.asInt); }, "4"},
        {"text that is no number: rgvarg index 2", 1,
         [](SOut& o) {
             return Args{Str(o.word.Get()), I4(1), ByRef(VT_I4, &o.difference)};
         },
         DISP_E_TYPEMISMATCH, difference, "0", 2},
        {"an out-value by value", 1,
         [](SOut&) {
             return Args{I4(1), I4(1), I4(0)};
         },
         DISP_E_TYPEMISMATCH, difference, "0", 0},
        {"an out reference of another type", 1,
         [](SOut& o) {
             return Args{I4(1), I4(1), ByRef(VT_R8, &o.real)};
         },
         DISP_E_TYPEMISMATCH, [](const SOut& o) { return std::to_string(o.real); },
         std::to_string(0.0), 0},
        {"a null out reference", 1,
         [](SOut&) {
             return Args{I4(1), I4(1), ByRef(VT_I4, nullptr)};
         },
         DISP_E_TYPEMISMATCH, difference, "0", 0},
        {"too few", 1,
         [](SOut& o) {
             return Args{I4(1), ByRef(VT_I4, &o.difference)};
         },
         DISP_E_BADPARAMCOUNT, difference, "0"},
        {"too many", 1,
         [](SOut& o) {
             return Args{I4(1), I4(2), I4(3), ByRef(VT_I4, &o.difference)};
         },
         DISP_E_BADPARAMCOUNT, difference, "0"},
        {"none", 1, [](SOut&) { return Args{}; }, DISP_E_BADPARAMCOUNT, difference, "0"},
        {"an unknown memid (Scale's slot is 2)", 2,
         [](SOut& o) {
             return Args{I4(1), I4(2), ByRef(VT_I4, &o.difference)};
         },
         DISP_E_MEMBERNOTFOUND, difference, "0"},
        {"a property put", 1,
         [](SOut& o) {
             return Args{I4(1), I4(2), ByRef(VT_I4, &o.difference)};
         },
         DISP_E_MEMBERNOTFOUND, difference, "0", kUntouched, DISPATCH_PROPERTYPUT},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        SOut out;
        Call call;
        Invoke(calc.Get(), row.memid, row.args(out), call, row.flags);
        EXPECT_EQ(call.hr, row.hr);
        EXPECT_EQ(row.got(out), row.want);
        EXPECT_EQ(call.argErr, row.argErr);
        EXPECT_EQ(call.result.vt, VT_EMPTY);
    }

    // Named arguments, another interface and missing parameters are refused; without
    // result, exception or error-index pointers a call still works.
    LONG nDifference = 0;
    VARIANT args[3] = {ByRef(VT_I4, &nDifference), I4(2), I4(1)};
    DISPID named[1] = {0};
    DISPPARAMS params{args, named, 3, 1};
    EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    params.cNamedArgs = 0;
    EXPECT_EQ(calc->Invoke(1, IID_IUnknown, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(nDifference, -1);
}

struct Plain
{
    HRESULT result = S_OK;
    int calls = 0;
};

TEST(DispatchTable, FailureWithoutErrorInfoKeepsItsCodeInScode)
{
    const DispatchTable<Plain> table({
        {{"Run", 9, 1, {}},
         [](Plain& p, DispArgs&)
         {
             ++p.calls;
             return p.result;
         }},
    });
    Plain plain;
    plain.result = E_POINTER;
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    EXCEPINFO excep{};
    excep.dwHelpContext = 77;
    EXPECT_EQ(
        table.Invoke(plain, 9, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, nullptr),
        DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_POINTER);
    EXPECT_EQ(excep.bstrDescription, nullptr);
    EXPECT_EQ(excep.dwHelpContext, 0u);
    EXPECT_EQ(plain.calls, 1);

    // A success code other than S_OK is not an exception.
    plain.result = S_FALSE;
    EXPECT_EQ(
        table.Invoke(plain, 9, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, nullptr),
        S_OK);
    EXPECT_EQ(table.FindMemid(9)->slot, 1u);
    EXPECT_EQ(table.FindName("RUN")->memid, 9);
}

TEST(DispatchTable, ACallThatReadsArgumentsItDoesNotHaveIsCaught)
{
    const DispatchTable<Plain> table({
        {{"Wrong", 1, 1, {{"count", VT_I4}, {"out", VT_BSTR, ParamKind::Out}}},
         [](Plain& p, DispArgs& a)
         {
             ++p.calls;
             *a.R8Ref(1) = 1.0;                           // declared as BSTR*
             *a.BstrRef(0) = SysAllocString(u"leaked?");  // an in-value, not a reference
             return a.Bstr(5) == nullptr ? S_OK : E_FAIL; // no such parameter
         }},
    });
    Plain plain;
    BSTR out = nullptr;
    VARIANT args[2] = {ByRef(VT_BSTR, &out), I4(1)};
    DISPPARAMS params{args, nullptr, 2, 0};
    EXPECT_EQ(
        table.Invoke(plain, 1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
        E_UNEXPECTED);
    EXPECT_EQ(plain.calls, 1);
    EXPECT_EQ(out, nullptr); // the stray writes went to scratch space
}

TEST(DispatchTable, RefusesTablesThatRepeatMemidsOrNames)
{
    using Table = DispatchTable<Plain>;
    const auto ok = [](Plain&, DispArgs&) { return S_OK; };
    EXPECT_THROW(Table({{{"A", 1, 1, {}}, ok}, {{"B", 1, 2, {}}, ok}}), std::invalid_argument);
    EXPECT_THROW(Table({{{"A", 1, 1, {}}, ok}, {{"a", 2, 2, {}}, ok}}), std::invalid_argument);
    EXPECT_THROW(Table({{{"A", 1, 1, {{"x", VT_UNKNOWN}}}, ok}}), std::invalid_argument);
    EXPECT_NO_THROW(Table({{{"A", 1, 1, {}}, ok}, {{"B", 2, 2, {}}, ok}}));
}

} // namespace
