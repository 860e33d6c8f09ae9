#include "TestCalc.h"

#include "platform/com/DispatchTable.h"

#include <atomic>
#include <new>

using platform::com::DispArgs;
using platform::com::ParamKind;

namespace
{
std::atomic<long> g_live{0};
std::atomic<long> g_created{0};
std::atomic<long> g_locks{0};

class Calc final : public ITestCalc
{
public:
    Calc()
    {
        ++g_live;
        ++g_created;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITestCalc)
        {
            *ppv = static_cast<ITestCalc*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        return Table().GetTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override
    {
        return Table().GetTypeInfo(index, lcid, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override
    {
        return Table().GetIDsOfNames(riid, names, count, lcid, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID memid, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override
    {
        return Table().Invoke(*this, memid, riid, lcid, flags, params, result, excepInfo, argErr);
    }

    HRESULT STDMETHODCALLTYPE Subtract(LONG a, LONG b, LONG* difference) override
    {
        *difference = a - b;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scale(double factor, double* value) override
    {
        *value *= factor;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreatedCount(LONG* count) override
    {
        *count = static_cast<LONG>(g_created.load());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Flags(VARIANT_BOOL flag, LONG value, VARIANT_BOOL* negated,
                                    LONGLONG* wide) override
    {
        *negated = flag == VARIANT_FALSE ? VARIANT_TRUE : VARIANT_FALSE;
        *wide = static_cast<LONGLONG>(value) * (LONGLONG(1) << 32);
        return S_OK;
    }

private:
    ~Calc() { --g_live; }

    using Table_t = platform::com::DispatchTable<ITestCalc>;
    static const Table_t& Table()
    {
        // Slots and memids differ on purpose, so a table that mixed them up would show.
        static const Table_t table({
            {{"Subtract",
              1,
              1,
              {{"a", VT_I4}, {"b", VT_I4}, {"difference", VT_I4, ParamKind::Out}}},
             [](ITestCalc& o, DispArgs& a) { return o.Subtract(a.I4(0), a.I4(1), a.I4Ref(2)); }},
            {{"Scale", 3, 2, {{"factor", VT_R8}, {"value", VT_R8, ParamKind::InOut}}},
             [](ITestCalc& o, DispArgs& a) { return o.Scale(a.R8(0), a.R8Ref(1)); }},
            {{"CreatedCount", 5, 3, {{"count", VT_I4, ParamKind::Out}}},
             [](ITestCalc& o, DispArgs& a) { return o.CreatedCount(a.I4Ref(0)); }},
            {{"Flags",
              7,
              4,
              {{"flag", VT_BOOL},
               {"value", VT_I4},
               {"negated", VT_BOOL, ParamKind::Out},
               {"wide", VT_I8, ParamKind::Out}}},
             [](ITestCalc& o, DispArgs& a)
             { return o.Flags(a.Bool(0), a.I4(1), a.BoolRef(2), a.I8Ref(3)); }},
        });
        return table;
    }

    std::atomic<ULONG> m_refs{1};
};
} // namespace

namespace testcalc
{
ITestCalc* NewTestCalc()
{
    return new (std::nothrow) Calc();
}

long LiveObjects()
{
    return g_live.load();
}

long ServerLocks()
{
    return g_locks.load();
}

void AddServerLock(long delta)
{
    g_locks += delta;
}
} // namespace testcalc
