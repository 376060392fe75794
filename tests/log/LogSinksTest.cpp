#include "log/LogSinks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

TEST(LogSinks, SyslogGetsThePriorityOfTheLevelAndNoLineFeed)
{
    std::vector<std::pair<int, std::string>> written;
    LogSink sink = syslogSink([&](int priority, const std::string& text) { written.emplace_back(priority, text); });
    const std::vector<std::pair<int, int>> levels = {{-1, LOG_CRIT},  {1, LOG_CRIT}, {2, LOG_ERR},   {3, LOG_WARNING},
                                                     {4, LOG_NOTICE}, {5, LOG_INFO}, {6, LOG_DEBUG}, {40, LOG_DEBUG}};
    for (const auto& [level, priority] : levels) {
        sink(level, "LOG " + std::to_string(level) + " h \"m\"\n", "sys");
        EXPECT_EQ(written.back(), std::make_pair(priority, "LOG " + std::to_string(level) + " h \"m\""));
    }
    sink(2, "LOG 2 h \"cut", "sys");
    EXPECT_EQ(written.back().second, "LOG 2 h \"cut");
}

TEST(LogSinks, StandardErrorCarriesJournalPrefixesOnlyWhenItIsTheJournalStream)
{
    std::string path = testing::TempDir() + "stderr";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    struct stat status;
    ASSERT_EQ(::fstat(fd, &status), 0);
    std::string device = std::to_string(status.st_dev);
    std::string inode = std::to_string(status.st_ino);
    const char* saved = std::getenv("JOURNAL_STREAM");
    std::string savedValue = saved ? saved : "";

    const std::string record = "LOG 2 h \"failed\"\n";
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {std::nullopt, record},
        {"", record},
        {"nonsense", record},
        {device + ":" + std::to_string(status.st_ino + 1), record},
        {device + ":" + inode + "x", record},
        {device + ":" + inode, "<3>" + record}};
    std::string expected;
    for (const auto& [journalStream, line] : cases) {
        if (journalStream)
            setenv("JOURNAL_STREAM", journalStream->c_str(), 1);
        else
            unsetenv("JOURNAL_STREAM");
        streamSink(fd)(2, record, "sys");
        expected += line;
    }
    ::close(fd);
    saved ? setenv("JOURNAL_STREAM", savedValue.c_str(), 1) : unsetenv("JOURNAL_STREAM");
    std::ostringstream written;
    written << std::ifstream(path).rdbuf();
    EXPECT_EQ(written.str(), expected);
    std::remove(path.c_str());

    EXPECT_EQ(journalLine(7, "LOG 7 h \"a\nb\"\n"), "<7>LOG 7 h \"a\n<7>b\"\n");
    EXPECT_EQ(journalLine(2, "LOG 2 h \"cut"), "<3>LOG 2 h \"cut\n");
}
