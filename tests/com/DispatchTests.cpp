#include "TestCalc.h"
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
VARIANT ByValue(VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

VARIANT I4(LONG value)
{
    VARIANT v = ByValue(VT_I4);
    v.lVal = value;
    return v;
}

VARIANT ByRef(VARTYPE vt, void* target)
{
    VARIANT v = ByValue(static_cast<VARTYPE>(VT_BYREF | vt));
    v.byref = target;
    return v;
}

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

    DISPID IdOf(const char16_t* name)
    {
        std::u16string text = name;
        LPOLESTR names[] = {text.data()};
        DISPID id = 0;
        calc->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        return id;
    }

    ComPtr<ITestCalc> calc;
};

TEST_F(DispatchTest, NamesResolveWithoutRegardToCase)
{
    EXPECT_EQ(IdOf(u"Subtract"), 1);
    EXPECT_EQ(IdOf(u"subtract"), 1);
    EXPECT_EQ(IdOf(u"FILL"), 16);
    EXPECT_EQ(IdOf(u"Multiply"), DISPID_UNKNOWN);

    // A method name followed by its parameter names, one of them unknown.
    std::u16string method = u"repeat", count = u"COUNT", bogus = u"times", text = u"Text";
    LPOLESTR names[] = {method.data(), count.data(), bogus.data(), text.data()};
    DISPID ids[4] = {7, 7, 7, 7};
    EXPECT_EQ(calc->GetIDsOfNames(IID_NULL, names, 4, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    EXPECT_EQ(ids[3], 0);

    std::u16string unknown = u"Nothing";
    LPOLESTR single[] = {unknown.data()};
    DISPID id = 0;
    EXPECT_EQ(calc->GetIDsOfNames(IID_NULL, single, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(calc->GetIDsOfNames(IID_IDispatch, single, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);

    UINT count2 = 9;
    EXPECT_EQ(calc->GetTypeInfoCount(&count2), S_OK);
    EXPECT_EQ(count2, 0u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(this);
    EXPECT_EQ(calc->GetTypeInfo(0, 0, &info), E_NOTIMPL);
    EXPECT_EQ(info, nullptr);
}

TEST_F(DispatchTest, ArgumentsArriveInDeclarationOrderAndOutValuesComeBack)
{
    Call subtract;
    LONG difference = 0;
    Invoke(calc.Get(), 1, {I4(10), I4(3), ByRef(VT_I4, &difference)}, subtract);
    ASSERT_EQ(subtract.hr, S_OK);
    EXPECT_EQ(difference, 7); // 10 - 3, not 3 - 10
    EXPECT_EQ(subtract.result.vt, VT_EMPTY);

    Call repeat;
    BStr text("ab");
    VARIANT textArg = ByValue(VT_BSTR);
    textArg.bstrVal = text.Get();
    VARIANT countArg = ByValue(VT_INT);
    countArg.intVal = 3;
    BStr result;
    Invoke(calc.Get(), 2, {textArg, countArg, ByRef(VT_BSTR, result.Out())}, repeat);
    ASSERT_EQ(repeat.hr, S_OK);
    EXPECT_EQ(result.ToUtf8(), "ababab");
    EXPECT_EQ(text.ToUtf8(), "ab"); // the caller's in-value is neither freed nor changed

    Call scale;
    double value = 1.5;
    VARIANT factor = ByValue(VT_R8);
    factor.dblVal = 4.0;
    Invoke(calc.Get(), 3, {factor, ByRef(VT_R8, &value)}, scale);
    ASSERT_EQ(scale.hr, S_OK);
    EXPECT_EQ(value, 6.0); // read and written through the reference

    Call flags;
    VARIANT_BOOL negated = VARIANT_FALSE;
    LONGLONG wide = 0;
    VARIANT flag = ByValue(VT_BOOL);
    flag.boolVal = VARIANT_FALSE;
    Invoke(calc.Get(), 7, {flag, I4(3), ByRef(VT_BOOL, &negated), ByRef(VT_I8, &wide)}, flags);
    ASSERT_EQ(flags.hr, S_OK);
    EXPECT_EQ(negated, VARIANT_TRUE);
    EXPECT_EQ(wide, 3LL << 32);
}

TEST_F(DispatchTest, InValuesAreCoercedAndOutReferencesMustMatch)
{
    // "12" and 2.5 (rounded to even) become the I4 values 12 and 2.
    Call coerced;
    BStr twelve("12");
    VARIANT first = ByValue(VT_BSTR);
    first.bstrVal = twelve.Get();
    VARIANT second = ByValue(VT_R8);
    second.dblVal = 2.5;
    LONG difference = 0;
    Invoke(calc.Get(), 1, {first, second, ByRef(VT_I4, &difference)}, coerced);
    ASSERT_EQ(coerced.hr, S_OK);
    EXPECT_EQ(difference, 10);

    // A by-value argument also arrives through VT_BYREF.
    Call throughRef;
    LONG ten = 10;
    Invoke(calc.Get(), 1, {ByRef(VT_I4, &ten), I4(1), ByRef(VT_I4, &difference)}, throughRef);
    ASSERT_EQ(throughRef.hr, S_OK);
    EXPECT_EQ(difference, 9);

    // VT_I4 and VT_INT are the same 32-bit integer for an out reference.
    Call intRef;
    INT asInt = 0;
    Invoke(calc.Get(), 1, {I4(5), I4(1), ByRef(VT_INT, &asInt)}, intRef);
    ASSERT_EQ(intRef.hr, S_OK);
    EXPECT_EQ(asInt, 4);

    // rgvarg index of a bad argument: the first declared of three is rgvarg[2].
    Call badText;
    BStr word("ten");
    VARIANT wordArg = ByValue(VT_BSTR);
    wordArg.bstrVal = word.Get();
    Invoke(calc.Get(), 1, {wordArg, I4(1), ByRef(VT_I4, &difference)}, badText);
    EXPECT_EQ(badText.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(badText.argErr, 2u);

    Call outByValue;
    Invoke(calc.Get(), 1, {I4(1), I4(1), I4(0)}, outByValue);
    EXPECT_EQ(outByValue.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(outByValue.argErr, 0u);

    Call outWrongType;
    double real = 0;
    Invoke(calc.Get(), 1, {I4(1), I4(1), ByRef(VT_R8, &real)}, outWrongType);
    EXPECT_EQ(outWrongType.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(outWrongType.argErr, 0u);

    Call outNull;
    Invoke(calc.Get(), 1, {I4(1), I4(1), ByRef(VT_I4, nullptr)}, outNull);
    EXPECT_EQ(outNull.hr, DISP_E_TYPEMISMATCH);
}

TEST_F(DispatchTest, RefusesWrongCountsUnknownMembersAndNamedArguments)
{
    LONG difference = 0;
    Call tooFew;
    Invoke(calc.Get(), 1, {I4(1), ByRef(VT_I4, &difference)}, tooFew);
    EXPECT_EQ(tooFew.hr, DISP_E_BADPARAMCOUNT);
    Call tooMany;
    Invoke(calc.Get(), 1, {I4(1), I4(2), I4(3), ByRef(VT_I4, &difference)}, tooMany);
    EXPECT_EQ(tooMany.hr, DISP_E_BADPARAMCOUNT);
    Call none;
    Invoke(calc.Get(), 1, {}, none);
    EXPECT_EQ(none.hr, DISP_E_BADPARAMCOUNT);

    Call unknown;
    Invoke(calc.Get(), 6, {I4(1), I4(2), ByRef(VT_I4, &difference)}, unknown); // Fill is 16
    EXPECT_EQ(unknown.hr, DISP_E_MEMBERNOTFOUND);
    Call put;
    Invoke(calc.Get(), 1, {I4(1), I4(2), ByRef(VT_I4, &difference)}, put, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(put.hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(difference, 0);

    VARIANT args[3] = {ByRef(VT_I4, &difference), I4(2), I4(1)};
    DISPID named[1] = {0};
    DISPPARAMS params{args, named, 3, 1};
    EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    params.cNamedArgs = 0;
    EXPECT_EQ(calc->Invoke(1, IID_IUnknown, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    // Without result, exception or error-index pointers the call still works.
    EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(difference, -1);
}

TEST_F(DispatchTest, AFailedMethodFillsExceptionInfoFromTheThreadsErrorInfo)
{
    Call fail;
    Invoke(calc.Get(), 4, {I4(14)}, fail);
    ASSERT_EQ(fail.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(fail.excep.scode, DISP_E_EXCEPTION);
    EXPECT_EQ(fail.excep.wCode, 0);
    EXPECT_EQ(fail.excep.dwHelpContext, 14u);
    EXPECT_EQ(platform::com::BStrToUtf8(fail.excep.bstrDescription), kTestCalcFailure);
    EXPECT_EQ(platform::com::BStrToUtf8(fail.excep.bstrSource), kTestCalcSource);
    EXPECT_EQ(fail.excep.pfnDeferredFillIn, nullptr);

    // The error information moved into EXCEPINFO: the thread's slot is empty.
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);
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
    VARIANT args[2];
    VariantInit(&args[0]);
    args[0].vt = VT_BYREF | VT_BSTR;
    args[0].pbstrVal = &out;
    VariantInit(&args[1]);
    args[1].vt = VT_I4;
    args[1].lVal = 1;
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

TEST_F(DispatchTest, PointerSizedArgumentsCarryAnAddress)
{
    char buffer[8] = {};
    VARIANT address = ByValue(platform::com::kPointerSizedVt);
    if (address.vt == VT_I8)
        address.llVal = reinterpret_cast<intptr_t>(buffer);
    else
        address.lVal = static_cast<LONG>(reinterpret_cast<intptr_t>(buffer));
    LONG written = 0;
    Call fill;
    Invoke(calc.Get(), 16, {I4(5), address, ByRef(VT_I4, &written)}, fill);
    ASSERT_EQ(fill.hr, S_OK);
    EXPECT_EQ(written, 5);
    EXPECT_EQ(std::string(buffer), "xxxxx");
}
} // namespace
