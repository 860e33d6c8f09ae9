#include "platform/com/DispArgs.h"

#include <algorithm>

namespace platform::com
{
namespace
{
// VT_I4 and VT_INT are both 32-bit signed integers here, so either fits the other.
bool SameType(VARTYPE a, VARTYPE b)
{
    const auto norm = [](VARTYPE vt) { return vt == VT_INT ? VARTYPE(VT_I4) : vt; };
    return norm(a) == norm(b);
}
} // namespace

DispArgs::~DispArgs()
{
    for (Arg& arg : m_args)
    {
        if (!arg.reference)
            VariantClear(&arg.value);
    }
    VariantClear(&m_scratch);
}

HRESULT DispArgs::Bind(const std::vector<DispParam>& params, const DISPPARAMS& dispParams,
                       UINT* argErr)
{
    const std::size_t count = params.size();
    m_args.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::size_t position = count - 1 - i;
        const VARIANT& given = dispParams.rgvarg[position];
        Arg arg{};
        VariantInit(&arg.value);
        arg.reference = params[i].kind != ParamKind::In;
        HRESULT hr = S_OK;
        if (!arg.reference)
            hr = VariantChangeType(&arg.value, &given, 0, params[i].type);
        else if ((given.vt & VT_BYREF) == 0 || !SameType(given.vt & ~VT_BYREF, params[i].type) ||
                 given.byref == nullptr)
            hr = DISP_E_TYPEMISMATCH;
        else
        {
            arg.value.vt = static_cast<VARTYPE>(VT_BYREF | params[i].type);
            arg.value.byref = given.byref;
        }
        if (FAILED(hr))
        {
            VariantClear(&arg.value);
            if (argErr != nullptr)
                *argErr = static_cast<UINT>(position);
            return DISP_E_TYPEMISMATCH;
        }
        m_args.push_back(arg);
    }
    return S_OK;
}

const VARIANT* DispArgs::Find(std::size_t index, bool reference,
                              std::initializer_list<VARTYPE> accepted) const
{
    if (index < m_args.size() && m_args[index].reference == reference)
    {
        const VARTYPE type = m_args[index].value.vt & ~VT_BYREF;
        if (std::find(accepted.begin(), accepted.end(), type) != accepted.end())
            return &m_args[index].value;
    }
    m_misused = true;
    return nullptr;
}

void* DispArgs::Ref(std::size_t index, std::initializer_list<VARTYPE> accepted, VARTYPE scratchType)
{
    if (const VARIANT* arg = Find(index, true, accepted))
        return arg->byref;
    // Somewhere harmless to write; a BSTR written there is freed with this object.
    VariantClear(&m_scratch);
    m_scratch.vt = scratchType;
    switch (scratchType)
    {
    case VT_I4:
        return &m_scratch.lVal;
    case VT_INT:
        return &m_scratch.intVal;
    case VT_R8:
        return &m_scratch.dblVal;
    case VT_BOOL:
        return &m_scratch.boolVal;
    case VT_BSTR:
        return &m_scratch.bstrVal;
    default:
        return &m_scratch.llVal;
    }
}

LONG DispArgs::I4(std::size_t index) const
{
    const VARIANT* arg = Find(index, false, {VT_I4, VT_INT});
    return arg != nullptr ? arg->lVal : 0;
}

INT DispArgs::Int(std::size_t index) const
{
    return I4(index);
}

LONGLONG DispArgs::I8(std::size_t index) const
{
    const VARIANT* arg = Find(index, false, {VT_I8});
    return arg != nullptr ? arg->llVal : 0;
}

double DispArgs::R8(std::size_t index) const
{
    const VARIANT* arg = Find(index, false, {VT_R8});
    return arg != nullptr ? arg->dblVal : 0.0;
}

VARIANT_BOOL DispArgs::Bool(std::size_t index) const
{
    const VARIANT* arg = Find(index, false, {VT_BOOL});
    return arg != nullptr ? arg->boolVal : VARIANT_FALSE;
}

BSTR DispArgs::Bstr(std::size_t index) const
{
    const VARIANT* arg = Find(index, false, {VT_BSTR});
    return arg != nullptr ? arg->bstrVal : nullptr;
}

intptr_t DispArgs::IntPtr(std::size_t index) const
{
    const VARIANT* arg = Find(index, false, {VT_I4, VT_INT, VT_I8});
    if (arg == nullptr)
        return 0;
    return arg->vt == VT_I8 ? static_cast<intptr_t>(arg->llVal) : static_cast<intptr_t>(arg->lVal);
}

LONG* DispArgs::I4Ref(std::size_t index)
{
    return static_cast<LONG*>(Ref(index, {VT_I4, VT_INT}, VT_I4));
}

INT* DispArgs::IntRef(std::size_t index)
{
    return static_cast<INT*>(Ref(index, {VT_I4, VT_INT}, VT_INT));
}

LONGLONG* DispArgs::I8Ref(std::size_t index)
{
    return static_cast<LONGLONG*>(Ref(index, {VT_I8}, VT_I8));
}

double* DispArgs::R8Ref(std::size_t index)
{
    return static_cast<double*>(Ref(index, {VT_R8}, VT_R8));
}

VARIANT_BOOL* DispArgs::BoolRef(std::size_t index)
{
    return static_cast<VARIANT_BOOL*>(Ref(index, {VT_BOOL}, VT_BOOL));
}

BSTR* DispArgs::BstrRef(std::size_t index)
{
    return static_cast<BSTR*>(Ref(index, {VT_BSTR}, VT_BSTR));
}
} // namespace platform::com
