// The engine's preference access through the real preferences library, loaded by name:
// defaults of absent keys, round trips, the installation's cache choice, and a missing
// library or entry point.
#include "host/Preferences.h"
#include "platform/MessageBox.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
struct SBox
{
    std::string text, title;
    UINT type;
};

class MessageBoxRecorder
{
public:
    MessageBoxRecorder()
    {
        platform::SetMessageBoxHook([this](const std::string& text, const std::string& title, UINT type) {
            boxes.push_back({text, title, type});
            return platform::IDOK;
        });
    }
    ~MessageBoxRecorder() { platform::SetMessageBoxHook({}); }
    std::vector<SBox> boxes;
};
} // namespace

TEST(PreferencesDll, AbsentKeysKeepDefaultsAndValuesRoundTrip)
{
    testsupport::TempHome home;
    MessageBoxRecorder boxes;

    DWORD dwLimit = 30;
    EXPECT_EQ(host::PrefEasySafeQueryUINT32("OVRadio", "ServerWaitTimeLimit", &dwLimit), 0);
    EXPECT_EQ(dwLimit, 30u);
    std::string strLang = "ENU";
    EXPECT_EQ(host::PrefEasySafeQueryString("OVGlobal", "Default Lang", 24, strLang), 0);
    EXPECT_EQ(strLang, "ENU");
    std::string strCcd = "0.00";
    EXPECT_NE(host::PrefQueryValueString("OVRadio", "Last CCD", 100, strCcd), 0);
    EXPECT_EQ(strCcd, "0.00");

    EXPECT_EQ(host::PrefSetValueUINT32("OVRadio", "SessionID", 59999), 0);
    EXPECT_EQ(host::PrefSetValueString("OVRadio", "Last CCD", "15000.125"), 0);
    DWORD dwSession = 0;
    EXPECT_EQ(host::PrefEasySafeQueryUINT32("OVRadio", "SessionID", &dwSession), 0);
    EXPECT_EQ(dwSession, 59999u);
    EXPECT_EQ(host::PrefQueryValueString("OVRadio", "Last CCD", 100, strCcd), 0);
    EXPECT_EQ(strCcd, "15000.125");
    // A buffer too small for the value is a failure, and the default stays.
    std::string strSmall = "0.00";
    EXPECT_NE(host::PrefQueryValueString("OVRadio", "Last CCD", 4, strSmall), 0);
    EXPECT_EQ(strSmall, "0.00");

    std::string strIni = testsupport::ReadFile(home.File("preferences.ini"));
    EXPECT_NE(strIni.find("[OVRadio]"), std::string::npos);
    EXPECT_NE(strIni.find("Last CCD=15000.125"), std::string::npos);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(PreferencesDll, InstallationCacheChoiceIsTrueOnlyForOne)
{
    testsupport::TempHome home;
    EXPECT_TRUE(IsRadioCacheEnabledByInstallation()); // default 1
    SetRadioCacheEnabledForInstallation(false);
    EXPECT_FALSE(IsRadioCacheEnabledByInstallation());
    EXPECT_EQ(host::PrefSetValueUINT32("OVRadio", "CSCUserEnabled", 2), 0);
    EXPECT_FALSE(IsRadioCacheEnabledByInstallation());
    SetRadioCacheEnabledForInstallation(true);
    EXPECT_TRUE(IsRadioCacheEnabledByInstallation());
}

TEST(PreferencesDll, MissingLibraryShowsLoadProblemAndKeepsDefaults)
{
    testsupport::TempHome home;
    MessageBoxRecorder boxes;
    ::setenv("OVRADIO_PREFERENCES_LIB", "libNoSuchPreferences.so", 1);
    DWORD dwValue = 5242880;
    EXPECT_NE(host::PrefEasySafeQueryUINT32("OVRadio", "MaxCachePoolSize", &dwValue), 0);
    EXPECT_EQ(dwValue, 5242880u);
    EXPECT_TRUE(IsRadioCacheEnabledByInstallation()); // judged on the default
    ::unsetenv("OVRADIO_PREFERENCES_LIB");
    ASSERT_GE(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, "Dll Load Problem");
    EXPECT_FALSE(boxes.boxes[0].text.empty());
    EXPECT_EQ(boxes.boxes[0].type & platform::MB_ICONMASK, platform::MB_ICONSTOP);
}

TEST(PreferencesDll, LibraryWithoutEntryPointsReportsEachAndNeverCrashes)
{
    testsupport::TempHome home;
    MessageBoxRecorder boxes;
    // A library that loads but has none of the six entry points.
    ::setenv("OVRADIO_PREFERENCES_LIB", "libOVPlatform.so", 1);
    DWORD dwValue = 7;
    EXPECT_NE(host::PrefEasySafeQueryUINT32("OVRadio", "SessionID", &dwValue), 0);
    EXPECT_EQ(dwValue, 7u);
    ::unsetenv("OVRADIO_PREFERENCES_LIB");
    ASSERT_EQ(boxes.boxes.size(), 6u);
    EXPECT_EQ(boxes.boxes[0].title, "Dll Load Error - Interface Mismatch");
    EXPECT_EQ(boxes.boxes[0].text, "PrefSetValue");
    EXPECT_EQ(boxes.boxes[5].text, "PrefEasySafeQueryUINT32");
}
