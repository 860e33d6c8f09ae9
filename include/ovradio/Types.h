// The Windows base types and result codes, with their Windows sizes: the engine's
// interfaces and byte layouts are written in them. Usable from C and C++.
#ifndef OVRADIO_TYPES_H
#define OVRADIO_TYPES_H

#include <stdint.h>

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t LONG; /* 32 bits, unlike C's long here */
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t HRESULT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
/* Pointer-sized integers, for values that carry an address (64 bits on 64-bit systems). */
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define OVR_HRESULT(v) ((HRESULT)(uint32_t)(v))

#define S_OK OVR_HRESULT(0x00000000)
#define S_FALSE OVR_HRESULT(0x00000001)
#define E_NOTIMPL OVR_HRESULT(0x80004001)
#define E_NOINTERFACE OVR_HRESULT(0x80004002)
#define E_POINTER OVR_HRESULT(0x80004003)
#define E_FAIL OVR_HRESULT(0x80004005)
#define E_UNEXPECTED OVR_HRESULT(0x8000FFFF)
#define E_OUTOFMEMORY OVR_HRESULT(0x8007000E)
#define E_INVALIDARG OVR_HRESULT(0x80070057)
#define CLASS_E_NOAGGREGATION OVR_HRESULT(0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE OVR_HRESULT(0x80040111)
#define REGDB_E_READREGDB OVR_HRESULT(0x80040150)
#define REGDB_E_CLASSNOTREG OVR_HRESULT(0x80040154)
/* What a library's DllRegisterServer and DllUnregisterServer answer when they fail. */
#define SELFREG_E_TYPELIB OVR_HRESULT(0x80040200)
#define SELFREG_E_CLASS OVR_HRESULT(0x80040201)
#define CO_E_CLASSSTRING OVR_HRESULT(0x800401F3)
#define CO_E_IIDSTRING OVR_HRESULT(0x800401F4)
#define CO_E_DLLNOTFOUND OVR_HRESULT(0x800401F8)
#define CO_E_ERRORINDLL OVR_HRESULT(0x800401F9)
#define DISP_E_UNKNOWNINTERFACE OVR_HRESULT(0x80020001)
#define DISP_E_MEMBERNOTFOUND OVR_HRESULT(0x80020003)
#define DISP_E_PARAMNOTFOUND OVR_HRESULT(0x80020004)
#define DISP_E_TYPEMISMATCH OVR_HRESULT(0x80020005)
#define DISP_E_UNKNOWNNAME OVR_HRESULT(0x80020006)
#define DISP_E_NONAMEDARGS OVR_HRESULT(0x80020007)
#define DISP_E_BADVARTYPE OVR_HRESULT(0x80020008)
#define DISP_E_EXCEPTION OVR_HRESULT(0x80020009)
#define DISP_E_OVERFLOW OVR_HRESULT(0x8002000A)
#define DISP_E_BADPARAMCOUNT OVR_HRESULT(0x8002000E)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#endif
