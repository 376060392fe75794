#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/property_tree/ptree.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// kipd's status report, read from its status socket on the event loop within a short time. One
// read at a time serves every request waiting for it, and its outcome serves those that come
// within a second, so no number of pages and scrapers puts more than one connection on kipd's
// socket or makes kip-web wait for more than one read.
class StatusReader : public std::enable_shared_from_this<StatusReader> {
public:
    struct Reading {
        std::shared_ptr<const boost::property_tree::ptree> report;  // null when it could not be read
        std::string problem;                                        // then why, in a few words
    };
    using Handler = std::function<void(const Reading&)>;

    // Without a path there is no status to read: every reading says so.
    StatusReader(const boost::asio::any_io_executor& executor, std::optional<std::string> path);

    // The handler runs on the event loop, never within this call.
    void read(Handler handler);

    // The report of a status text, or why it is none.
    static Reading readingOf(const std::string& text);

    // A report's fields, by path ("links.main.since"). The report's parser keeps every value as
    // its text: a number is one when its text is a JSON number, a flag when "true" or "false",
    // and a text is none when null (or the text "null"). Texts are made valid UTF-8.
    static std::optional<std::string> numberAt(const boost::property_tree::ptree& report, const std::string& path);
    static std::optional<bool> flagAt(const boost::property_tree::ptree& report, const std::string& path);
    static std::optional<std::string> textAt(const boost::property_tree::ptree& report, const std::string& path);

private:
    using Socket = boost::asio::local::stream_protocol::socket;

    void start();
    void onConnected(boost::system::error_code error);
    void readSome();
    void onRead(boost::system::error_code error, std::size_t size);
    void onTimeLimit(std::uint64_t attempt, boost::system::error_code error);
    void finish(Reading reading);

    std::optional<std::string> path;
    Socket socket;
    boost::asio::steady_timer limit;
    std::array<char, 16 << 10> chunk;
    std::string text;
    std::uint64_t attempt = 0;
    bool reading = false;
    bool timedOut = false;
    std::vector<Handler> waiting;
    std::optional<Reading> last;
    std::chrono::steady_clock::time_point lastAt;
};
