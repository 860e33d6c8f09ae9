// The arguments of one IDispatch::Invoke call, bound to a method's declared parameters
// and handed in declaration order to the typed function that calls the method. In
// values are converted copies that this object owns and frees; out and in/out values are
// the caller's references. Lives on the invoking thread for the length of one call.
#pragma once

#include <cstdint>
#include <ovradio/Com.h>
#include <string_view>
#include <vector>

namespace platform::com
{
enum class ParamKind
{
    In,
    Out,  // the method receives a pointer and writes through it
    InOut // the method receives a pointer, reads and writes through it
};

// One declared parameter. type is VT_I4, VT_INT, VT_I8, VT_R8, VT_BOOL or VT_BSTR; an
// out parameter of type VT_INT is an INT* in the method's signature.
struct DispParam
{
    std::string_view name;
    VARTYPE type;
    ParamKind kind = ParamKind::In;
};

// The type a pointer-sized value (a buffer address, a callback) travels as.
inline constexpr VARTYPE kPointerSizedVt = sizeof(void*) == 8 ? VT_I8 : VT_I4;

class DispArgs
{
public:
    DispArgs() = default;
    ~DispArgs();
    DispArgs(const DispArgs&) = delete;
    DispArgs& operator=(const DispArgs&) = delete;

    // Binds dispParams.rgvarg (reverse order, as OLE passes them) to params. In values
    // are converted to their declared type; out and in/out values must be VT_BYREF of it
    // (VT_I4 and VT_INT are one type here). When one does not fit: DISP_E_TYPEMISMATCH,
    // with *argErr (when not null) its index in rgvarg. The count must already match.
    HRESULT Bind(const std::vector<DispParam>& params, const DISPPARAMS& dispParams, UINT* argErr);

    std::size_t Count() const { return m_args.size(); }

    // In values, by parameter index.
    LONG I4(std::size_t index) const;
    INT Int(std::size_t index) const;
    LONGLONG I8(std::size_t index) const;
    double R8(std::size_t index) const;
    VARIANT_BOOL Bool(std::size_t index) const;
    BSTR Bstr(std::size_t index) const; // owned by the call: the method must not free it
    // A pointer-sized value passed as VT_I8 or VT_I4.
    intptr_t IntPtr(std::size_t index) const;

    // Out and in/out references, by parameter index.
    LONG* I4Ref(std::size_t index);
    INT* IntRef(std::size_t index);
    LONGLONG* I8Ref(std::size_t index);
    double* R8Ref(std::size_t index);
    VARIANT_BOOL* BoolRef(std::size_t index);
    BSTR* BstrRef(std::size_t index);

    // True when the calling function asked for an index or a type that the method's
    // parameters do not have. It then got a zero value or a scratch location instead.
    bool Misused() const { return m_misused; }

private:
    struct Arg
    {
        VARIANT value; // the converted value, or VT_BYREF | type with the caller's pointer
        bool reference;
    };

    const VARIANT* Find(std::size_t index, bool reference,
                        std::initializer_list<VARTYPE> accepted) const;
    void* Ref(std::size_t index, std::initializer_list<VARTYPE> accepted, VARTYPE scratchType);

    std::vector<Arg> m_args;
    mutable bool m_misused = false;
    VARIANT m_scratch{};
};
} // namespace platform::com
