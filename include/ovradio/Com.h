// The COM runtime that a host and the engine share (libOVCom.so, in place of ole32 and
// oleaut32): GUIDs, BSTRs, VARIANTs, the base interfaces, per-thread error information
// and in-process activation through the registry. Types keep their Windows layouts, the
// interfaces their Windows vtable order, and the calls have C linkage, so a host written
// against the Windows definitions compiles and runs unchanged. C++ only: the interfaces
// are C++ structs of pure virtual functions.
#ifndef OVRADIO_COM_H
#define OVRADIO_COM_H

#ifndef __cplusplus
#error "ovradio/Com.h needs C++: the interfaces are C++ structs"
#endif

#include <cstddef>
#include <cstring>
#include <ovradio/Types.h>

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define STDAPI_(type) extern "C" type

typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
// A pointer to UTF-16 text that is preceded by its length in bytes (4 bytes) and followed
// by a NUL character. Allocated and freed only by the Sys* calls below.
typedef OLECHAR* BSTR;

typedef LONG SCODE;
typedef DWORD LCID;
typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef int16_t SHORT;
typedef uint16_t USHORT;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// ---- GUID ----------------------------------------------------------------------------

typedef struct _GUID
{
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

static_assert(sizeof(GUID) == 16, "GUID has the Windows layout");

inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool IsEqualIID(REFIID a, REFIID b)
{
    return IsEqualGUID(a, b);
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b)
{
    return IsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b)
{
    return IsEqualGUID(a, b);
}

// The braced text form "{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}" is 38 characters.
#define CHARS_IN_GUID 39

extern "C"
{
    extern const GUID GUID_NULL;
    extern const IID IID_NULL;
    extern const IID IID_IUnknown;
    extern const IID IID_IDispatch;
    extern const IID IID_IClassFactory;
    extern const IID IID_ISupportErrorInfo;
    extern const IID IID_IErrorInfo;
    extern const IID IID_ICreateErrorInfo;

    // Writes the upper-case braced form with its NUL; returns the characters written
    // including the NUL (39), or 0 when cchMax is too small.
    int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
    // The braced form, allocated with CoTaskMemAlloc.
    HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
    HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
    // Parses the braced form (hexadecimal digits in either case). A text that is not a
    // GUID is tried as a ProgID. Null gives GUID_NULL. CO_E_CLASSSTRING when neither.
    HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
    // The braced form only; CO_E_IIDSTRING when it is not one. Null gives GUID_NULL.
    HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
    // A random (version 4) GUID from the kernel's random source.
    HRESULT CoCreateGuid(GUID* pguid);
}

// ---- Memory and BSTR -----------------------------------------------------------------

extern "C"
{
    void* CoTaskMemAlloc(size_t cb);
    void* CoTaskMemRealloc(void* pv, size_t cb);
    void CoTaskMemFree(void* pv);

    // Null for a null text (and when memory runs out).
    BSTR SysAllocString(const OLECHAR* psz);
    // cch characters copied from pch, or zeroed when pch is null; NUL-terminated.
    BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
    // cb bytes copied from psz (or zeroed), followed by a NUL character.
    BSTR SysAllocStringByteLen(const char* psz, UINT cb);
    // Replaces *pbstr with a copy of psz; FALSE (and *pbstr unchanged) when out of memory.
    INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
    void SysFreeString(BSTR bstr);
    // Characters (bytes / 2) and bytes; 0 for a null BSTR.
    UINT SysStringLen(BSTR bstr);
    UINT SysStringByteLen(BSTR bstr);
}

// ---- VARIANT -------------------------------------------------------------------------

enum VARENUM
{
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0fff
};

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02 // booleans become "True"/"False" instead of "-1"/"0"
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

struct IUnknown;
struct IDispatch;

// 24 bytes on 64-bit systems: the type, three reserved words, then a 16-byte value.
typedef struct tagVARIANT
{
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union
    {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        struct tagVARIANT* pvarVal;
        void* byref;
        char cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        INT* pintVal;
        UINT* puintVal;
        struct
        {
            void* pvRecord;
            void* pRecInfo;
        } brecVal;
    };
} VARIANT, VARIANTARG;

static_assert(sizeof(void*) != 8 || sizeof(VARIANT) == 24, "VARIANT has the Windows layout");
static_assert(offsetof(VARIANT, lVal) == 8, "the VARIANT value follows the reserved words");

typedef struct tagDISPPARAMS
{
    VARIANTARG* rgvarg; // arguments in reverse order: rgvarg[cArgs - 1] is the first
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO
{
    WORD wCode; // either wCode or scode is 0
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
    SCODE scode;
} EXCEPINFO;

static_assert(sizeof(void*) != 8 || sizeof(DISPPARAMS) == 24, "DISPPARAMS has the Windows layout");
static_assert(sizeof(void*) != 8 || sizeof(EXCEPINFO) == 64, "EXCEPINFO has the Windows layout");

extern "C"
{
    void VariantInit(VARIANTARG* pvarg);
    // Frees what the variant owns (a BSTR, an interface reference) and makes it VT_EMPTY.
    HRESULT VariantClear(VARIANTARG* pvarg);
    // A deep copy: BSTRs are duplicated, interfaces AddRef'd; by-reference values copied
    // as references.
    HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
    // Converts between VT_EMPTY, VT_I4, VT_INT, VT_I8, VT_R8, VT_BOOL and VT_BSTR (a
    // by-reference source is read through). pvargDest may be pvargSrc. Results:
    // DISP_E_TYPEMISMATCH (text that is not a number), DISP_E_OVERFLOW (out of range),
    // DISP_E_BADVARTYPE (a type outside that set).
    HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                              VARTYPE vt);
}

// ---- Interfaces ----------------------------------------------------------------------

#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800

// No virtual destructors: the vtable holds exactly the slots listed, in this order.
struct IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

// Not provided by this runtime: GetTypeInfo answers E_NOTIMPL.
struct ITypeInfo;

struct IDispatch : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                    LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid,
                                             WORD wFlags, DISPPARAMS* pDispParams,
                                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;
};

struct IClassFactory : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                     void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct ISupportErrorInfo : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IErrorInfo : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) = 0;
};

struct ICreateErrorInfo : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR szSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR szDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR szHelpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD dwHelpContext) = 0;
};

// ---- Error information ---------------------------------------------------------------

extern "C"
{
    // Replaces the calling thread's error information (null clears it). dwReserved is 0.
    HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
    // Hands the calling thread's error information over to the caller and clears it:
    // S_OK with the object, S_FALSE with null when there is none.
    HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
    // A new, empty error information object; it answers IErrorInfo as well.
    HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
}

// ---- Activation ----------------------------------------------------------------------

enum CLSCTX
{
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
    CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
    CLSCTX_ALL =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER
};

enum COINIT
{
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2
};

// What an in-process server library exports.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, void** ppv);
typedef HRESULT (*LPFNCANUNLOADNOW)();

extern "C"
{
    // Nothing to set up on this platform: S_OK on a thread's first call, S_FALSE after.
    HRESULT CoInitialize(void* pvReserved);
    HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit);
    void CoUninitialize();

    // HKEY_CLASSES_ROOT\<ProgID>\CLSID, after following <ProgID>\CurVer when present.
    // CO_E_CLASSSTRING for an unknown ProgID.
    HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
    // HKEY_CLASSES_ROOT\CLSID\{...}\ProgID, allocated with CoTaskMemAlloc.
    // REGDB_E_CLASSNOTREG when the class has none.
    HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

    // The class factory (or riid) of a class whose InprocServer32 library is named in
    // HKEY_CLASSES_ROOT\CLSID\{...}; the library is loaded once and stays loaded.
    HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid,
                             void** ppv);
    // CoGetClassObject, then IClassFactory::CreateInstance. Results besides the object's
    // own: REGDB_E_CLASSNOTREG (no such class or no library named), CO_E_DLLNOTFOUND (the
    // library does not load), CO_E_ERRORINDLL (it exports no DllGetClassObject),
    // CLASS_E_NOAGGREGATION (pUnkOuter is not null).
    HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                             void** ppv);
    // Unloads the libraries whose DllCanUnloadNow answers S_OK.
    void CoFreeUnusedLibraries();
}

#endif
