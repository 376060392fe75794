#include "StatusReader.h"

#include "Bounds.h"
#include "JsonText.h"
#include "wire/Utf8.h"

#include <boost/asio/post.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <cctype>
#include <sstream>

namespace {

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(std::string_view text)
{
    std::size_t at = 0;
    auto digits = [&] {
        std::size_t from = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
            ++at;
        return at - from;
    };
    if (at < text.size() && text[at] == '-')
        ++at;
    std::size_t start = at;
    std::size_t whole = digits();
    if (whole == 0 || (whole > 1 && text[start] == '0'))
        return false;
    if (at < text.size() && text[at] == '.' && (++at, digits() == 0))
        return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-'))
            ++at;
        if (digits() == 0)
            return false;
    }
    return at == text.size();
}

// A leaf's text; a member holding an object or an array has none.
std::optional<std::string> leafAt(const boost::property_tree::ptree& report, const std::string& path)
{
    boost::optional<const boost::property_tree::ptree&> child = report.get_child_optional(path);
    if (!child || !child->empty())
        return std::nullopt;
    return child->data();
}

}  // namespace

StatusReader::StatusReader(const boost::asio::any_io_executor& executor, std::optional<std::string> path)
    : path(std::move(path)), socket(executor), limit(executor)
{
}

void StatusReader::read(Handler handler)
{
    if (last && std::chrono::steady_clock::now() - lastAt < bounds::statusReuse) {
        boost::asio::post(socket.get_executor(), [handler = std::move(handler), reading = *last] { handler(reading); });
        return;
    }
    waiting.push_back(std::move(handler));
    if (!reading)
        start();
}

StatusReader::Reading StatusReader::readingOf(const std::string& text)
{
    // Checked first: the parser recurses, and takes anything after the value.
    std::size_t first = text.find_first_not_of(" \t\r\n");
    if (!isJsonText(text, bounds::maxJsonDepth) || first == std::string::npos || text[first] != '{')
        return {nullptr, "kipd's status is not one JSON object"};
    auto report = std::make_shared<boost::property_tree::ptree>();
    std::istringstream input(text);
    try {
        boost::property_tree::read_json(input, *report);
    } catch (const boost::property_tree::json_parser_error&) {
        return {nullptr, "kipd's status is not one JSON object"};
    }
    return {std::move(report), {}};
}

void StatusReader::start()
{
    reading = true;
    if (!path) {
        boost::asio::post(socket.get_executor(), [self = shared_from_this()] {
            self->finish({nullptr, "no status socket is known for kipd"});
        });
        return;
    }
    text.clear();
    timedOut = false;
    limit.expires_after(bounds::statusReadTime);
    limit.async_wait([self = shared_from_this(), attempt = ++attempt](boost::system::error_code error) {
        self->onTimeLimit(attempt, error);
    });
    socket.async_connect(boost::asio::local::stream_protocol::endpoint(*path),
                         [self = shared_from_this()](boost::system::error_code error) { self->onConnected(error); });
}

void StatusReader::onConnected(boost::system::error_code error)
{
    if (error)
        return finish({nullptr, timedOut ? "kipd's status socket did not answer in time"
                                         : "kipd's status socket cannot be reached: " + error.message()});
    readSome();
}

void StatusReader::readSome()
{
    socket.async_read_some(boost::asio::buffer(chunk), [self = shared_from_this()](boost::system::error_code error,
                                                                                   std::size_t size) {
        self->onRead(error, size);
    });
}

// The report ends where kipd closes the connection.
void StatusReader::onRead(boost::system::error_code error, std::size_t size)
{
    text.append(chunk.data(), size);
    if (text.size() > bounds::maxStatus)
        return finish({nullptr, "kipd's status is longer than its bound"});
    if (error == boost::asio::error::eof)
        return finish(readingOf(text));
    if (error)
        return finish({nullptr, timedOut ? "kipd's status socket did not answer in time"
                                         : "kipd's status socket failed: " + error.message()});
    readSome();
}

// A kipd that accepts and says nothing cannot hold the requests waiting for it.
void StatusReader::onTimeLimit(std::uint64_t expired, boost::system::error_code error)
{
    if (error || expired != attempt || !reading)
        return;
    timedOut = true;
    boost::system::error_code ignored;
    socket.close(ignored);
}

void StatusReader::finish(Reading outcome)
{
    boost::system::error_code ignored;
    socket.close(ignored);
    limit.cancel();
    reading = false;
    last = outcome;
    lastAt = std::chrono::steady_clock::now();
    std::vector<Handler> handlers;
    handlers.swap(waiting);
    for (Handler& handler : handlers)
        handler(outcome);
}

std::optional<std::string> StatusReader::numberAt(const boost::property_tree::ptree& report, const std::string& path)
{
    std::optional<std::string> text = leafAt(report, path);
    return text && isJsonNumber(*text) ? text : std::nullopt;
}

std::optional<bool> StatusReader::flagAt(const boost::property_tree::ptree& report, const std::string& path)
{
    std::optional<std::string> text = leafAt(report, path);
    if (text == "true" || text == "false")
        return *text == "true";
    return std::nullopt;
}

std::optional<std::string> StatusReader::textAt(const boost::property_tree::ptree& report, const std::string& path)
{
    std::optional<std::string> text = leafAt(report, path);
    return text && *text != "null" ? std::optional(validUtf8(*text)) : std::nullopt;
}
