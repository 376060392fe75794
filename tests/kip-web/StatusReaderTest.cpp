#include "StatusReader.h"

#include "ChainStatus.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using boost::asio::local::stream_protocol;

// A status socket in a folder of its own, which this test serves as it chooses.
struct StatusSocket {
    std::filesystem::path folder = [] {
        std::string name = (std::filesystem::temp_directory_path() / "kip-web-status-XXXXXX").string();
        return std::filesystem::path(::mkdtemp(name.data()));
    }();
    std::string path = (folder / "status").string();
    boost::asio::io_context context;
    stream_protocol::acceptor acceptor{context, stream_protocol::endpoint(path)};
    std::vector<stream_protocol::socket> accepted;

    ~StatusSocket() { std::filesystem::remove_all(folder); }

    // Accepts every connection and says nothing on it.
    void serveSilently()
    {
        acceptor.async_accept([this](boost::system::error_code error, stream_protocol::socket socket) {
            if (error)
                return;
            accepted.push_back(std::move(socket));
            serveSilently();
        });
    }

    // What each of `count` readers was told.
    std::vector<std::string> readings(const std::shared_ptr<StatusReader>& reader, int count)
    {
        std::vector<std::string> told;
        for (int i = 0; i < count; ++i)
            reader->read([&told](const StatusReader::Reading& reading) { told.push_back(ChainStatus::json(reading)); });
        context.restart();
        while (told.size() < static_cast<std::size_t>(count) && context.run_one() > 0) {
        }
        return told;
    }
};

}  // namespace

TEST(StatusReader, OneReadServesEveryWaitingRequestAndASilentKipdHoldsThemASecondAtMost)
{
    StatusSocket kipd;
    kipd.serveSilently();
    auto reader = std::make_shared<StatusReader>(kipd.context.get_executor(), kipd.path);
    const std::string late = "{\"kipd_status\": false, \"problem\": \"kipd's status socket did not answer in time\"}\n";
    EXPECT_EQ(kipd.readings(reader, 3), std::vector<std::string>(3, late));
    EXPECT_EQ(kipd.accepted.size(), 1u);
    // Within a second the outcome is told again without asking kipd.
    EXPECT_EQ(kipd.readings(reader, 1), std::vector<std::string>{late});
    EXPECT_EQ(kipd.accepted.size(), 1u);
}
