#pragma once

#include "Site.h"

#include <boost/beast/core.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// One browser's HTTP connection: counts itself in the connection caps, checks who asks
// (Admission), serves the page's files, kipd's chain (/status) and the metrics (/metrics) from
// kipd's status, and hands a WebSocket upgrade on /ws to a new Bridge while the client has a
// bridge slot left. A request's head must come within 10 s of the connection or of the last
// answer.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(boost::asio::ip::tcp::socket socket, std::shared_ptr<Site> site);
    // Reads the first request, or closes the connection when the caps leave it no room.
    void start();
    // Closes this connection after one of its handlers threw.
    void abandon(const std::exception& error);

private:
    using error_code = boost::beast::error_code;
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void readRequest();
    void onHead(error_code error, std::size_t size);
    void onRequest(error_code error, std::size_t size);
    void onReadFailed(error_code error);
    void serve(Request request, const std::string& from);
    void upgrade(Request request, const std::string& from);
    void answerAfterQuiet(const Request& request);
    void onQuiet(error_code error);
    void answerFromStatus(const Request& request, std::string_view path);
    void onStatus(const StatusReader::Reading& reading);
    Response fileResponse(const Request& request) const;
    Response sessionResponse(const Request& request) const;
    Response textResponse(const Request& request, boost::beast::http::status status, std::string text) const;
    void refuse(const Request& request, const Refusal& refusal);
    void respond(Response response);
    void refuseAndClose(boost::beast::http::status status, std::string text);
    void write();
    void onWritten(error_code error, std::size_t size);
    void finish();
    void giveWay();

    boost::beast::tcp_stream stream;
    std::optional<boost::asio::ip::address> peer;
    std::string client;  // the connection's, as the caps count it; a request may name its own
    boost::beast::flat_buffer buffer;
    boost::asio::steady_timer quiet;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    std::optional<Response> response;
    struct {
        bool metrics = false;  // for /metrics, else for /status
        bool head = false;
    } statusAnswer;  // what the answer waiting for kipd's status is
    std::shared_ptr<Site> site;
    std::optional<ConnectionCaps::Ticket> ticket;
};
