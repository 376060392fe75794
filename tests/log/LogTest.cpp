#include "log/Log.h"

#include "log/LogChannel.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

TEST(Log, BuildsOneRecordPerCallAndCutsLongMessages)
{
    LogCapture capture;
    log(0, "never %s", "logged");
    log(2, "Unable to send data to %s:%d: %s", "10.0.0.1", 3972, "Broken pipe");
    log(2, "%s", std::string(300, 'x').c_str());
    EXPECT_EQ(capture.all(),
              (std::vector<std::string>{LogCapture::record(2, "Unable to send data to 10.0.0.1:3972: Broken pipe"),
                                        LogCapture::record(2, std::string(199, 'x'))}));
    EXPECT_EQ(capture.allGroups(), std::vector<std::string>(2, "sys"));
}

TEST(LogChannel, TakesItsNameFromTheLastHostnameLineOfTheSettings)
{
    EXPECT_EQ(LogChannel("/nonexistent/ipconfig").privateName(), "corvanet");
    std::string path = testing::TempDir() + "ipconfig";
    std::ofstream(path) << "ip=10.1.1.1\n  hostname = ignored\nhostname=first\nhostnames=no\n  hostname=box7  \n";
    EXPECT_EQ(LogChannel(path).privateName(), "box7");
    EXPECT_EQ(readSettingsValue(path, "ip", "192.168.0.10"), "10.1.1.1");
    EXPECT_EQ(readSettingsValue(path, "gateway", "192.168.0.254"), "192.168.0.254");
    std::remove(path.c_str());
}
