// The user identifier over the object manager and the registry file.
#include "host/UserId.h"

#include "platform/Registry.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace
{
constexpr const char* kEReg = "SOFTWARE\\Orvale\\Orvale Deck\\SharedData\\EReg";
const std::regex kGuidText("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
} // namespace

TEST(UserId, FirstCallStoresABracedGuidAndLaterCallsReturnIt)
{
    testsupport::TempHome home;
    std::string strId = GetUserId();
    EXPECT_TRUE(std::regex_match(strId, kGuidText)) << strId;
    auto stored = platform::Registry::QueryString(platform::Hive::LocalMachine, kEReg, "OVUID");
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, "{" + strId + "}");
    EXPECT_EQ(GetUserId(), strId);
    // Without upload permission, "Upload" is not touched.
    EXPECT_FALSE(platform::Registry::QueryDword(platform::Hive::LocalMachine, kEReg, "Upload"));
}

TEST(UserId, StoredIdentifierIsReturnedWithoutBraces)
{
    testsupport::TempHome home;
    ASSERT_TRUE(platform::Registry::SetString(platform::Hive::LocalMachine, kEReg, "OVUID",
                                              "{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}"));
    EXPECT_EQ(GetUserId(), "0C5D39B0-460B-11D4-ADE1-0050DACD3DB9");
}

TEST(UserId, UploadPermissionIsCopiedWhenTheIdentifierIsMade)
{
    testsupport::TempHome home;
    ASSERT_TRUE(platform::Registry::SetDword(platform::Hive::LocalMachine, kEReg,
                                             "EregUploadPermission", 5));
    std::string strId;
    EXPECT_TRUE(CreateUserId(strId));
    EXPECT_EQ(strId.size(), 38u);
    EXPECT_EQ(platform::Registry::QueryDword(platform::Hive::LocalMachine, kEReg, "Upload"), 5u);
}

TEST(UserId, UnwritableRegistryGivesAnEmptyIdentifier)
{
    testsupport::TempHome home;
    // A damaged registry file is never overwritten, so nothing can be stored.
    testsupport::WriteFile(home.File("registry.reg"), "not a registry file\n");
    std::string strId;
    EXPECT_FALSE(CreateUserId(strId));
    EXPECT_TRUE(strId.empty());
    EXPECT_EQ(GetUserId(), "");
    EXPECT_EQ(testsupport::ReadFile(home.File("registry.reg")), "not a registry file\n");
}

TEST(UserId, ConcurrentFirstCallsEachGetAWellFormedIdentifier)
{
    testsupport::TempHome home;
    std::vector<std::string> ids(4);
    testsupport::OnThreads(4, "the asking threads to end", [&ids](int t) { ids[t] = GetUserId(); });
    for (const auto& id : ids)
        EXPECT_TRUE(std::regex_match(id, kGuidText)) << id;
    std::string strFinal = GetUserId();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).count(strFinal), 1u);
}
