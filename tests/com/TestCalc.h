// A small dual interface for exercising the runtime: implemented by TestCalc.cpp, which
// is built into the test executable (for dispatch tests) and into the test server
// library that CoCreateInstance loads.
#pragma once

#include "platform/com/DispArgs.h"

#include <ovradio/Com.h>

// Internal linkage on purpose: an inline variable would become a unique symbol, which
// glibc never unloads, and the tests unload the server.
// {6B1D4C2E-93A0-4F5B-8E21-7C3D9A0B1E42}
constexpr IID IID_ITestCalc = {
    0x6B1D4C2E, 0x93A0, 0x4F5B, {0x8E, 0x21, 0x7C, 0x3D, 0x9A, 0x0B, 0x1E, 0x42}};
// {6B1D4C2F-93A0-4F5B-8E21-7C3D9A0B1E42}
constexpr CLSID CLSID_TestCalc = {
    0x6B1D4C2F, 0x93A0, 0x4F5B, {0x8E, 0x21, 0x7C, 0x3D, 0x9A, 0x0B, 0x1E, 0x42}};
constexpr char kTestCalcClsid[] = "{6B1D4C2F-93A0-4F5B-8E21-7C3D9A0B1E42}";

struct ITestCalc : public IDispatch
{
    // memid 1: *difference = a - b
    virtual HRESULT STDMETHODCALLTYPE Subtract(LONG a, LONG b, LONG* difference) = 0;
    // memid 3: *value = *value * factor (in/out)
    virtual HRESULT STDMETHODCALLTYPE Scale(double factor, double* value) = 0;
    // memid 5: objects this copy of the code has created since it was loaded
    virtual HRESULT STDMETHODCALLTYPE CreatedCount(LONG* count) = 0;
    // memid 7: *negated = !flag, *wide = value * 2^32 (VT_BOOL and VT_I8 parameters)
    virtual HRESULT STDMETHODCALLTYPE Flags(VARIANT_BOOL flag, LONG value, VARIANT_BOOL* negated,
                                            LONGLONG* wide) = 0;
};

constexpr char kTestCalcProgID[] = "OVComTest.Calc.1";
constexpr char kTestCalcVersionIndependentProgID[] = "OVComTest.Calc";

namespace testcalc
{
// A new object with one reference.
ITestCalc* NewTestCalc();
// Objects alive and server locks held in this copy of the code.
long LiveObjects();
long ServerLocks();
void AddServerLock(long delta);
} // namespace testcalc
