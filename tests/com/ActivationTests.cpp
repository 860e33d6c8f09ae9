#include "TestCalc.h"
#include "platform/Registry.h"
#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Guid.h"
#include "support/TestSupport.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>

using platform::Hive;
using platform::com::ComPtr;
namespace Registry = platform::Registry;

namespace
{
constexpr char kServerPath[] = OVCOM_TEST_SERVER;
constexpr char kNoFactoryPath[] = OVCOM_TEST_NOFACTORY;
constexpr char kStaleClsid[] = "{11111111-2222-3333-4444-555555555555}";

bool ServerLoaded()
{
    void* handle = dlopen(kServerPath, RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr)
        dlclose(handle);
    return handle != nullptr;
}

GUID Guid(const char* text)
{
    return platform::com::GuidFromString(std::string_view(text)).value();
}

class ActivationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterServer(kTestCalcClsid, kServerPath);
        // The version-independent ProgID names a stale class of its own: only following
        // CurVer gives the current one.
        Set("OVComTest.Calc.1", "", "Test Calc Class");
        Set("OVComTest.Calc.1\\CLSID", "", kTestCalcClsid);
        Set("OVComTest.Calc", "", "Test Calc Class");
        Set("OVComTest.Calc\\CLSID", "", kStaleClsid);
        Set("OVComTest.Calc\\CurVer", "", "OVComTest.Calc.1");
        Set(std::string("CLSID\\") + kTestCalcClsid + "\\ProgID", "", "OVComTest.Calc.1");
        // Nothing of an earlier test may still hold the server.
        CoFreeUnusedLibraries();
        ASSERT_FALSE(ServerLoaded());
    }
    void TearDown() override { CoFreeUnusedLibraries(); }

    static void Set(const std::string& path, const std::string& name, const std::string& value)
    {
        ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, path, name, value));
    }
    static void RegisterServer(const std::string& clsid, const std::string& library)
    {
        Set("CLSID\\" + clsid + "\\InprocServer32", "", library);
    }

    static ComPtr<ITestCalc> Create(HRESULT* hr = nullptr)
    {
        ComPtr<ITestCalc> calc;
        const HRESULT result = CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_ITestCalc, calc.OutVoid());
        if (hr != nullptr)
            *hr = result;
        return calc;
    }
    static LONG CreatedCount(ITestCalc* calc)
    {
        LONG count = -1;
        EXPECT_EQ(calc->CreatedCount(&count), S_OK);
        return count;
    }

    testsupport::TempHome m_home;
};

// The server library is loaded once and let go only when it has no object, no server lock
// and no factory reference left.
TEST_F(ActivationTest, LoadsTheServerOnceAndUnloadsItOnlyWhenUnused)
{
    HRESULT hr = E_FAIL;
    ComPtr<ITestCalc> first = Create(&hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_TRUE(first);
    EXPECT_TRUE(ServerLoaded());
    EXPECT_EQ(CreatedCount(first.Get()), 1);

    ComPtr<ITestCalc> second = Create();
    ASSERT_TRUE(second);
    EXPECT_EQ(CreatedCount(second.Get()), 2); // the same loaded copy made both

    CoFreeUnusedLibraries(); // objects live: the library stays
    EXPECT_TRUE(ServerLoaded());
    LONG difference = 0;
    EXPECT_EQ(first->Subtract(5, 8, &difference), S_OK);
    EXPECT_EQ(difference, -3);

    first.Reset();
    second.Reset();
    ComPtr<ITestCalc> third = Create();
    ASSERT_TRUE(third);
    EXPECT_EQ(CreatedCount(third.Get()), 3); // still loaded without being asked to unload
    third.Reset();

    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());

    ComPtr<ITestCalc> fresh = Create();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(CreatedCount(fresh.Get()), 1); // loaded anew
    fresh.Reset();

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.OutVoid()),
              S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerLoaded()) << "a server lock keeps the library";
    ASSERT_EQ(
        CoGetClassObject(CLSID_TestCalc, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.OutVoid()),
        S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
}

TEST_F(ActivationTest, ClassesThatCannotBeCreatedGiveFailureCodes)
{
    const auto create =
        [](const char* clsid, DWORD context = CLSCTX_INPROC_SERVER, IUnknown* outer = nullptr)
    {
        void* object = reinterpret_cast<void*>(1);
        const HRESULT hr = CoCreateInstance(Guid(clsid), outer, context, IID_IUnknown, &object);
        EXPECT_EQ(object, nullptr);
        return hr;
    };

    EXPECT_EQ(create("{0A0A0A0A-0000-0000-0000-000000000001}"), REGDB_E_CLASSNOTREG);

    Set("CLSID\\{0A0A0A0A-0000-0000-0000-000000000002}\\ProgID", "", "No.Library");
    EXPECT_EQ(create("{0A0A0A0A-0000-0000-0000-000000000002}"), REGDB_E_CLASSNOTREG);

    RegisterServer("{0A0A0A0A-0000-0000-0000-000000000003}", m_home.File("missing.so"));
    EXPECT_EQ(create("{0A0A0A0A-0000-0000-0000-000000000003}"), CO_E_DLLNOTFOUND);

    RegisterServer("{0A0A0A0A-0000-0000-0000-000000000004}", kNoFactoryPath);
    EXPECT_EQ(create("{0A0A0A0A-0000-0000-0000-000000000004}"), CO_E_ERRORINDLL);
    EXPECT_EQ(create("{0A0A0A0A-0000-0000-0000-000000000004}"), CO_E_ERRORINDLL);

    // The server library exists but serves another class.
    RegisterServer("{0A0A0A0A-0000-0000-0000-000000000005}", kServerPath);
    EXPECT_EQ(create("{0A0A0A0A-0000-0000-0000-000000000005}"), CLASS_E_CLASSNOTAVAILABLE);

    EXPECT_EQ(create(kTestCalcClsid, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
    ComPtr<ITestCalc> outer = Create();
    ASSERT_TRUE(outer);
    EXPECT_EQ(create(kTestCalcClsid, CLSCTX_INPROC_SERVER, outer.Get()), CLASS_E_NOAGGREGATION);
    outer.Reset();
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
        E_POINTER);

    // An interface the object lacks: nothing handed out and nothing left alive, so the
    // library can go.
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_ISupportErrorInfo,
                               &object),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
}

// A ProgID names its class directly or through CurVer, without regard to case; a CurVer
// naming a ProgID without a class leaves the ProgID's own; CurVer circles end.
TEST_F(ActivationTest, ProgIDsResolveThroughCurVer)
{
    Set("Other.Thing\\CLSID", "", kStaleClsid);
    Set("Other.Thing\\CurVer", "", "Other.Thing.9");
    Set("Loop.A\\CurVer", "", "Loop.B");
    Set("Loop.B\\CurVer", "", "Loop.A");
    Set("Loop.B\\CLSID", "", kTestCalcClsid);
    Set("Bad.Clsid\\CLSID", "", "not a guid");
    const std::pair<const char16_t*, const char*> rows[] = {
        {u"OVComTest.Calc", kTestCalcClsid},  {u"ovcomtest.calc.1", kTestCalcClsid},
        {u"Other.Thing", kStaleClsid},        {u"Loop.A", kTestCalcClsid},
        {u"No.Such.ProgID", nullptr},         {u"", nullptr},
        {u"OVComTest.Calc\\CurVer", nullptr}, {u"Bad.Clsid", nullptr},
    };
    for (const auto& [progID, want] : rows)
    {
        SCOPED_TRACE(platform::com::OleStrToUtf8(progID));
        for (const auto resolve : {CLSIDFromProgID, CLSIDFromString})
        {
            CLSID clsid = IID_IDispatch;
            EXPECT_EQ(resolve(progID, &clsid), want ? S_OK : CO_E_CLASSSTRING);
            EXPECT_EQ(platform::com::GuidToString(clsid),
                      want ? want : platform::com::GuidToString(IID_IDispatch)); // untouched
        }
    }
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
}

TEST(Activation, InitializationCountsPerThread)
{
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}
} // namespace
