// The engine's registry entries in a temporary registry, read back through the COM
// runtime's activation as a host would use them.
#include "engine/Registration.h"

#include "platform/Registry.h"
#include "platform/Utf.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Guid.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <ovradio/RadioEngine.h>
#include <string>

using platform::Hive;
namespace Registry = platform::Registry;

namespace
{
constexpr char kClassKey[] = "CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}";
constexpr char kTypeLibKey[] = "TypeLib\\{0C5D39A3-460B-11D4-ADE1-0050DACD3DB9}";
constexpr char kInterfaceKey[] = "Interface\\{0C5D39AF-460B-11D4-ADE1-0050DACD3DB9}";
constexpr char kOtherClassKey[] = "CLSID\\{11111111-2222-3333-4444-555555555555}";

std::optional<std::string> Value(const std::string& strKey, const std::string& strName = "")
{
    return Registry::QueryString(Hive::ClassesRoot, strKey, strName);
}

bool Exists(const std::string& strKey)
{
    return Registry::KeyExists(Hive::ClassesRoot, strKey);
}

HRESULT ClassOf(const char16_t* pszProgID, CLSID& clsid)
{
    clsid = GUID_NULL;
    return CLSIDFromProgID(pszProgID, &clsid);
}

HRESULT CreateEngine()
{
    platform::com::ComPtr<IRadioEngine> engine;
    return CoCreateInstance(CLSID_RadioEngineObj, nullptr, CLSCTX_INPROC_SERVER, IID_IRadioEngine,
                            engine.OutVoid());
}

class RegistrationTest : public ::testing::Test
{
protected:
    std::string Library(const std::string& strName) const { return m_home.File(strName); }

    testsupport::TempHome m_home;
};
} // namespace

TEST_F(RegistrationTest, WritesTheClassUnderBothProgIDsAndTheTypeLibrary)
{
    const std::string strLibrary = Library("lib/libOVRadioEngine.so");
    ASSERT_EQ(RegisterRadioEngine(strLibrary), S_OK);

    CLSID clsid;
    ASSERT_EQ(ClassOf(u"OVRadioEngine.RadioEngineObj", clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_RadioEngineObj));
    ASSERT_EQ(ClassOf(u"OVRadioEngine.RadioEngineObj.1", clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_RadioEngineObj));
    EXPECT_EQ(Value("OVRadioEngine.RadioEngineObj\\CurVer"), "OVRadioEngine.RadioEngineObj.1");
    EXPECT_EQ(Value("OVRadioEngine.RadioEngineObj"), "RadioEngineObj Class");
    EXPECT_EQ(Value("OVRadioEngine.RadioEngineObj.1"), "RadioEngineObj Class");
    LPOLESTR pszProgID = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_RadioEngineObj, &pszProgID), S_OK);
    EXPECT_EQ(platform::Utf16ToUtf8(pszProgID), "OVRadioEngine.RadioEngineObj.1");
    CoTaskMemFree(pszProgID);

    const std::string strClass = kClassKey;
    EXPECT_EQ(Value(strClass), "RadioEngineObj Class");
    EXPECT_EQ(Value(strClass + "\\VersionIndependentProgID"), "OVRadioEngine.RadioEngineObj");
    EXPECT_TRUE(Exists(strClass + "\\Programmable"));
    EXPECT_TRUE(Registry::Values(Hive::ClassesRoot, strClass + "\\Programmable").empty());
    EXPECT_EQ(Value(strClass + "\\InprocServer32"), strLibrary);
    EXPECT_EQ(Value(strClass + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Value(strClass + "\\TypeLib"), "{0C5D39A3-460B-11D4-ADE1-0050DACD3DB9}");

    const std::string strVersion = std::string(kTypeLibKey) + "\\1.0";
    EXPECT_EQ(Value(strVersion), "OVRadioEngine 1.0 Type Library");
    EXPECT_EQ(Value(strVersion + "\\0\\linux64"), strLibrary);
    EXPECT_EQ(Value(strVersion + "\\FLAGS"), "0");
    EXPECT_EQ(Value(strVersion + "\\HELPDIR"), Library("lib"));
    EXPECT_EQ(Value(kInterfaceKey), "IRadioEngine");
    EXPECT_EQ(Value(std::string(kInterfaceKey) + "\\TypeLib"),
              "{0C5D39A3-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_EQ(Value(std::string(kInterfaceKey) + "\\TypeLib", "Version"), "1.0");

    // Creation follows InprocServer32 to the library named, which does not exist here.
    EXPECT_EQ(CreateEngine(), CO_E_DLLNOTFOUND);
}

TEST_F(RegistrationTest, RegisteringAgainReplacesTheClassAndTypeLibraryKeys)
{
    ASSERT_EQ(RegisterRadioEngine(Library("old/libOVRadioEngine.so")), S_OK);
    const std::string strClass = kClassKey;
    ASSERT_TRUE(
        Registry::SetString(Hive::ClassesRoot, strClass + "\\LocalServer32", "", "/usr/bin/stale"));
    ASSERT_TRUE(
        Registry::SetString(Hive::ClassesRoot, strClass + "\\InprocServer32", "Stale", "yes"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, std::string(kTypeLibKey) + "\\1.0\\0\\win32",
                                    "", "C:\\old.dll"));

    const std::string strLibrary = Library("new/libOVRadioEngine.so");
    ASSERT_EQ(RegisterRadioEngine(strLibrary), S_OK);
    EXPECT_FALSE(Exists(strClass + "\\LocalServer32"));
    EXPECT_EQ(Value(strClass + "\\InprocServer32", "Stale"), std::nullopt);
    EXPECT_EQ(Value(strClass + "\\InprocServer32"), strLibrary);
    EXPECT_EQ(Value(strClass + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Registry::SubKeys(Hive::ClassesRoot, std::string(kTypeLibKey) + "\\1.0\\0"),
              std::vector<std::string>{"linux64"});
    EXPECT_EQ(Value(std::string(kTypeLibKey) + "\\1.0\\0\\linux64"), strLibrary);
}

TEST_F(RegistrationTest, UnregisteringRemovesTheEngineAndLeavesTheParentKeysAndOtherClasses)
{
    ASSERT_EQ(RegisterRadioEngine(Library("libOVRadioEngine.so")), S_OK);
    ASSERT_TRUE(Registry::SetString(
        Hive::ClassesRoot, std::string(kOtherClassKey) + "\\InprocServer32", "", "/lib/other.so"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "Other.Thing\\CLSID", "",
                                    "{11111111-2222-3333-4444-555555555555}"));
    // Another version of the type library is not this library's to remove.
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, std::string(kTypeLibKey) + "\\2.0", "",
                                    "OVRadioEngine 2.0 Type Library"));

    ASSERT_EQ(UnregisterRadioEngine(), S_OK);
    CLSID clsid;
    EXPECT_EQ(ClassOf(u"OVRadioEngine.RadioEngineObj", clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(ClassOf(u"OVRadioEngine.RadioEngineObj.1", clsid), CO_E_CLASSSTRING);
    EXPECT_FALSE(Exists("OVRadioEngine.RadioEngineObj"));
    EXPECT_FALSE(Exists("OVRadioEngine.RadioEngineObj.1"));
    LPOLESTR pszProgID = nullptr;
    EXPECT_EQ(ProgIDFromCLSID(CLSID_RadioEngineObj, &pszProgID), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CreateEngine(), REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(Exists(kClassKey));
    EXPECT_TRUE(Exists("CLSID"));
    EXPECT_FALSE(Exists(kInterfaceKey));
    EXPECT_TRUE(Exists("Interface"));
    EXPECT_FALSE(Exists(std::string(kTypeLibKey) + "\\1.0"));
    EXPECT_TRUE(Exists(std::string(kTypeLibKey) + "\\2.0"));

    // Other registrations are untouched.
    EXPECT_EQ(Value(std::string(kOtherClassKey) + "\\InprocServer32"), "/lib/other.so");
    ASSERT_EQ(ClassOf(u"Other.Thing", clsid), S_OK);

    // Once the last version is gone, so is the library's key; a second unregistration
    // finds nothing to do.
    ASSERT_TRUE(Registry::DeleteKey(Hive::ClassesRoot, std::string(kTypeLibKey) + "\\2.0"));
    ASSERT_EQ(RegisterRadioEngine(Library("libOVRadioEngine.so")), S_OK);
    ASSERT_EQ(UnregisterRadioEngine(), S_OK);
    EXPECT_FALSE(Exists(kTypeLibKey));
    EXPECT_TRUE(Exists("TypeLib"));
    EXPECT_EQ(UnregisterRadioEngine(), S_OK);
    EXPECT_TRUE(Exists("CLSID"));
}

TEST_F(RegistrationTest, ARegistryThatCannotBeWrittenGivesAFailure)
{
    // A damaged file is left as it is: nothing is written, and both directions fail.
    const std::string strDamaged = "REGEDIT4\n\nthis is no registry line\n";
    testsupport::WriteFile(m_home.File("registry.reg"), strDamaged);
    EXPECT_EQ(RegisterRadioEngine(Library("libOVRadioEngine.so")), SELFREG_E_CLASS);
    EXPECT_EQ(UnregisterRadioEngine(), SELFREG_E_CLASS);
    EXPECT_EQ(testsupport::ReadFile(m_home.File("registry.reg")), strDamaged);

    // A registry file that cannot be read or replaced (a folder in its place).
    std::filesystem::remove(m_home.File("registry.reg"));
    std::filesystem::create_directory(m_home.File("registry.reg"));
    EXPECT_EQ(RegisterRadioEngine(Library("libOVRadioEngine.so")), SELFREG_E_CLASS);
    EXPECT_EQ(UnregisterRadioEngine(), SELFREG_E_CLASS);
}
