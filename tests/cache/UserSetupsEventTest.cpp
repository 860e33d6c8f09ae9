// The "UserSetups" event goes out with the first size pass of the process only. In a
// program of its own, so that no other test's pass comes first.
#include "CacheTestSupport.h"
#include "cache/RadioCacheMgr.h"
#include "hostlibs/EventMgr.h"

#include <gtest/gtest.h>
#include <sstream>

namespace
{
std::vector<std::string> LinesNamed(const std::string& log, const std::string& name)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find("\"name\":\"" + name + "\"") != std::string::npos)
            lines.push_back(line);
    return lines;
}
} // namespace

TEST(UserSetupsEventTest, SentOncePerProcessWithTheSettings)
{
    testsupport::TempHome home;
    cachetest::FreeSpace free(123456789);
    InitEventMgr();
    // The passes are awaited without a limit of their own.
    testsupport::Within("two managers' passes",
                        []
                        {
                            {
                                mcRadioCacheMgr mgr;
                                mgr.Init();
                                mgr.RunSizeCheckAndWait();
                                mgr.RunSizeCheckAndWait();
                                mgr.UnInit();
                            }
                            mcRadioCacheMgr another;
                            another.Init();
                            another.RunSizeCheckAndWait();
                            another.UnInit();
                        });
    testsupport::Within("the event log to be flushed", [] { GetEventMgr()->Flush(); });
    UnInitEventMgr();
    const auto lines = LinesNamed(testsupport::ReadFile(home.File("events.log")), "UserSetups");
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected =
        "\"category\":3,\"name\":\"UserSetups\",\"params\":{\"Location\":\"" +
        home.File("OVRadio/Cache/") +
        "\",\"MaxSize\":\"2.5e+08\",\"SafetyMargin\":\"1e+08\","
        "\"IsEnabled\":1,\"CurSize\":\"0\",\"FreeSpace\":\"1.23457e+08\"}}";
    EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];
}
