#pragma once

#include "BridgeSlots.h"

#include <boost/beast/core.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>
#include <string>

// One browser's HTTP connection: serves the page's files and hands a WebSocket upgrade on
// /ws to a new Bridge, or refuses it when every bridge slot is taken.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(boost::asio::ip::tcp::socket socket, std::shared_ptr<BridgeSlots> slots, const std::string& kipdHost);
    void start() { readRequest(); }

private:
    using error_code = boost::beast::error_code;
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void readRequest();
    void onRequest(error_code error, std::size_t size);
    void upgrade(Request request);
    void answerAfterQuiet(Request request);
    Response fileResponse(const Request& request) const;
    Response textResponse(const Request& request, boost::beast::http::status status, std::string text) const;
    void respond(Response response);
    void onWritten(bool keepAlive, error_code error, std::size_t size);
    void finish();

    boost::beast::tcp_stream stream;
    boost::beast::flat_buffer buffer;
    boost::asio::steady_timer quiet;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    std::optional<Response> response;
    std::shared_ptr<BridgeSlots> slots;
    std::string kipdHost;
};
