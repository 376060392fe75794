#include "log/LogSinks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

TEST(LogSinks, SyslogTakesLevel2AsErrorsAndStandardErrorPrefixesOnlyForTheJournal)
{
    std::vector<std::pair<int, std::string>> written;
    syslogSink([&](int priority, const std::string& text) { written.emplace_back(priority, text); })(
        2, "LOG 2 h \"m\"\n", "sys");
    EXPECT_EQ(written, (std::vector<std::pair<int, std::string>>{{LOG_ERR, "LOG 2 h \"m\""}}));

    // Standard error carries journal prefixes only when it is the journal's stream.
    const std::string path = testing::TempDir() + "stderr";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    struct stat status;
    ASSERT_EQ(::fstat(fd, &status), 0);
    const std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    const char* saved = std::getenv("JOURNAL_STREAM");
    const std::string savedValue = saved ? saved : "";

    const std::string record = "LOG 2 h \"a\nb\"\n";
    unsetenv("JOURNAL_STREAM");
    streamSink(fd)(2, record, "sys");
    // Only the device and inode of this very stream count.
    for (const std::string& value : {std::string(), std::string("nonsense"), stream + "0", stream + "x", stream}) {
        setenv("JOURNAL_STREAM", value.c_str(), 1);
        streamSink(fd)(2, record, "sys");
    }
    ::close(fd);
    saved ? setenv("JOURNAL_STREAM", savedValue.c_str(), 1) : unsetenv("JOURNAL_STREAM");
    std::ostringstream streamed;
    streamed << std::ifstream(path).rdbuf();
    EXPECT_EQ(streamed.str(), record + record + record + record + record + "<3>LOG 2 h \"a\n<3>b\"\n");
    std::remove(path.c_str());
}
