// Late binding for a dual interface from a table compiled into the server: each method's
// name, memid, vtable slot and parameters, and a typed function that calls the method
// on the object with the bound arguments, e.g.
//
//     {{"ReadStream", 10, 10, {{"lBytesToRead", VT_I4}, {"plBuffer", kPointerSizedVt},
//                              {"pStatus", VT_INT, ParamKind::Out},
//                              {"pBytesRead", VT_I4, ParamKind::Out}}},
//      [](IRadioEngine& o, DispArgs& a)
//      { return o.ReadStream(a.I4(0), a.IntPtr(1), a.IntRef(2), a.I4Ref(3)); }}
//
// An object's IDispatch methods forward to GetIDsOfNames and Invoke. The table is
// immutable after construction, so one static table serves every object and thread.
#pragma once

#include "platform/com/DispArgs.h"

#include <functional>
#include <string_view>
#include <vector>

namespace platform::com
{
struct DispMethod
{
    std::string_view name; // matched without regard to ASCII case
    DISPID memid;
    unsigned slot; // position among the interface's own methods, after IDispatch's seven
    std::vector<DispParam> params;
};

// The part that does not depend on the object's type.
class DispatchTableBase
{
public:
    // Throws std::invalid_argument for a table that repeats a memid or a name, or declares
    // a parameter type outside VT_I4, VT_INT, VT_I8, VT_R8, VT_BOOL and VT_BSTR.
    explicit DispatchTableBase(std::vector<DispMethod> methods);

    const std::vector<DispMethod>& Methods() const { return m_methods; }
    const DispMethod* FindMemid(DISPID memid) const;
    const DispMethod* FindName(std::string_view name) const;

    // IDispatch::GetIDsOfNames: rgszNames[0] is a method name, the names after it its
    // parameter names (answered with their parameter index). Unknown names get
    // DISPID_UNKNOWN and the result DISP_E_UNKNOWNNAME.
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) const;

    // There is no type information to hand out.
    static HRESULT GetTypeInfoCount(UINT* pctinfo);
    static HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);

protected:
    using Caller = std::function<HRESULT(std::size_t methodIndex, DispArgs& args)>;

    // IDispatch::Invoke: finds the method, checks and binds the arguments and calls it.
    // A method result that is a failure becomes DISP_E_EXCEPTION, with EXCEPINFO's scode
    // that result and its texts and help context taken from the thread's error info.
    HRESULT InvokeWith(const Caller& call, DISPID dispIdMember, REFIID riid, WORD wFlags,
                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr) const;

private:
    std::vector<DispMethod> m_methods;
};

template <class T>
class DispatchTable : public DispatchTableBase
{
public:
    using Call = HRESULT (*)(T& object, DispArgs& args);
    struct Entry
    {
        DispMethod method;
        Call call;
    };

    explicit DispatchTable(std::vector<Entry> entries)
        : DispatchTableBase(MethodsOf(entries)), m_calls(CallsOf(entries))
    {
    }

    HRESULT Invoke(T& object, DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) const
    {
        const auto call = [&](std::size_t index, DispArgs& args)
        { return m_calls[index](object, args); };
        return InvokeWith(call, dispIdMember, riid, wFlags, pDispParams, pVarResult, pExcepInfo,
                          puArgErr);
    }

private:
    static std::vector<DispMethod> MethodsOf(const std::vector<Entry>& entries)
    {
        std::vector<DispMethod> methods;
        for (const Entry& entry : entries)
            methods.push_back(entry.method);
        return methods;
    }
    static std::vector<Call> CallsOf(const std::vector<Entry>& entries)
    {
        std::vector<Call> calls;
        for (const Entry& entry : entries)
            calls.push_back(entry.call);
        return calls;
    }

    std::vector<Call> m_calls; // parallel to Methods()
};
} // namespace platform::com
