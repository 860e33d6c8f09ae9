// A host program built against the installed package only: it resolves a ProgID that
// ovradio-regsvr registered, creates the object through the COM runtime, calls it late
// bound, and uses the radio engine's identifiers from the public header. Prints "host: ok"
// and exits 0 when everything answers as expected; otherwise says what did not.
//
// usage: host PROGID
#include <cstdio>
#include <cstring>
#include <ovradio/RadioEngine.h>
#include <string>

namespace
{
int g_failures = 0;

void Check(bool ok, const char* what, HRESULT hr = S_OK)
{
    if (!ok)
    {
        std::printf("host: FAILED: %s (0x%08X)\n", what, static_cast<unsigned>(hr));
        ++g_failures;
    }
}

std::u16string Wide(const char* text)
{
    return std::u16string(text, text + std::strlen(text));
}

// Calls the object's "Subtract" (a, b, out difference) through IDispatch.
void CallLateBound(IDispatch* dispatch)
{
    std::u16string name = u"Subtract";
    LPOLESTR names[] = {&name[0]};
    DISPID memid = DISPID_UNKNOWN;
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &memid);
    Check(hr == S_OK, "GetIDsOfNames(Subtract)", hr);

    LONG difference = 0;
    VARIANT args[3];
    for (VARIANT& arg : args)
        VariantInit(&arg);
    args[2].vt = VT_I4; // the first argument comes last
    args[2].lVal = 5;
    args[1].vt = VT_I4;
    args[1].lVal = 8;
    args[0].vt = VT_I4 | VT_BYREF;
    args[0].plVal = &difference;
    DISPPARAMS params = {args, nullptr, 3, 0};
    hr = dispatch->Invoke(memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                          nullptr, nullptr);
    Check(hr == S_OK && difference == -3, "Invoke(Subtract, 5, 8) gives -3", hr);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: host PROGID\n");
        return 2;
    }
    CoInitialize(nullptr);

    CLSID clsid = GUID_NULL;
    const std::u16string progID = Wide(argv[1]);
    HRESULT hr = CLSIDFromProgID(progID.c_str(), &clsid);
    Check(hr == S_OK, "CLSIDFromProgID", hr);
    IDispatch* dispatch = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&dispatch));
    Check(hr == S_OK && dispatch != nullptr, "CoCreateInstance by the ProgID's class", hr);
    if (dispatch != nullptr)
    {
        CallLateBound(dispatch);
        dispatch->Release();
    }

    // The engine's identifiers come with the header; its class is not registered here.
    OLECHAR text[CHARS_IN_GUID];
    Check(StringFromGUID2(IID_IRadioEngine, text, CHARS_IN_GUID) == CHARS_IN_GUID &&
              std::u16string(text) == u"{0C5D39AF-460B-11D4-ADE1-0050DACD3DB9}",
          "IID_IRadioEngine");
    IRadioEngine* engine = nullptr;
    hr = CoCreateInstance(CLSID_RadioEngineObj, nullptr, CLSCTX_INPROC_SERVER, IID_IRadioEngine,
                          reinterpret_cast<void**>(&engine));
    Check(hr == REGDB_E_CLASSNOTREG && engine == nullptr,
          "CoCreateInstance(CLSID_RadioEngineObj) answers REGDB_E_CLASSNOTREG", hr);
    hr = CLSIDFromProgID(u"" OVRADIO_VERSION_INDEPENDENT_PROGID, &clsid);
    Check(hr == CO_E_CLASSSTRING, "the engine's ProgID is unknown", hr);

    BSTR bstr = SysAllocString(u"host");
    Check(SysStringLen(bstr) == 4, "SysStringLen");
    SysFreeString(bstr);

    CoUninitialize();
    if (g_failures != 0)
        return 1;
    std::printf("host: ok\n");
    return 0;
}
