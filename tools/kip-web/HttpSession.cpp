#include "HttpSession.h"

#include "Bounds.h"
#include "Bridge.h"
#include "WebFiles.h"

#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <cstdlib>

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// A page of another site must not drive this box through the visitor's browser.
bool fromOwnPage(const http::request<http::string_body>& request)
{
    auto origin = request.find(http::field::origin);
    if (origin == request.end())
        return true;
    return origin->value() == "http://" + std::string(request[http::field::host]);
}

}  // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, std::shared_ptr<BridgeSlots> slots,
                         const std::string& kipdHost)
    : stream(std::move(socket)), quiet(stream.get_executor()), slots(std::move(slots)), kipdHost(kipdHost)
{
}

void HttpSession::finish()
{
    error_code ignored;
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

void HttpSession::readRequest()
{
    parser.emplace();
    parser->body_limit(bounds::maxHttpBody);
    stream.expires_after(bounds::httpIdle);
    http::async_read(stream, buffer, *parser, beast::bind_front_handler(&HttpSession::onRequest, shared_from_this()));
}

void HttpSession::onRequest(error_code error, std::size_t)
{
    if (error)
        return finish();
    Request request = parser->release();
    if (beast::websocket::is_upgrade(request))
        return upgrade(std::move(request));
    if (request.method() != http::verb::get && request.method() != http::verb::head)
        return respond(textResponse(request, http::status::method_not_allowed, "Only GET and HEAD are served.\n"));
    if (request.target().starts_with("/quiet"))
        return answerAfterQuiet(std::move(request));
    respond(fileResponse(request));
}

// The page's clock for "no report for a while": browsers throttle their own timers in hidden
// tabs and headless ones fast-forward them, while this answer comes after real time.
void HttpSession::answerAfterQuiet(Request request)
{
    beast::string_view target = request.target();
    auto at = target.find("ms=");
    unsigned long milliseconds = at == beast::string_view::npos ? 0 : std::strtoul(target.data() + at + 3, nullptr, 10);
    quiet.expires_after(std::min(std::chrono::milliseconds(milliseconds), bounds::longestQuiet));
    quiet.async_wait([self = shared_from_this(), request = std::move(request)](error_code) {
        self->respond(self->textResponse(request, http::status::ok, "quiet\n"));
    });
}

void HttpSession::upgrade(Request request)
{
    if (request.target() != "/ws")
        return respond(textResponse(request, http::status::not_found, "No WebSocket here.\n"));
    if (!fromOwnPage(request))
        return respond(textResponse(request, http::status::forbidden, "Only kip-web's own page may connect.\n"));
    std::optional<BridgeSlots::Slot> slot = slots->take();
    if (!slot)
        return respond(textResponse(request, http::status::service_unavailable, "Too many connections.\n"));
    std::make_shared<Bridge>(std::move(stream), std::move(*slot), kipdHost)->start(std::move(request));
}

HttpSession::Response HttpSession::fileResponse(const Request& request) const
{
    const WebFile* file = findWebFile({request.target().data(), request.target().size()});
    if (!file)
        return textResponse(request, http::status::not_found, "Not found.\n");
    Response reply{http::status::ok, request.version()};
    std::string_view type = contentTypeOf(file->name);
    reply.set(http::field::content_type, beast::string_view(type.data(), type.size()));
    reply.set(http::field::cache_control, "no-cache");
    reply.set("Content-Security-Policy", "default-src 'self'");
    reply.set("X-Content-Type-Options", "nosniff");
    reply.keep_alive(request.keep_alive());
    if (request.method() == http::verb::head)
        reply.content_length(file->body.size());
    else {
        reply.body() = std::string(file->body);
        reply.prepare_payload();
    }
    return reply;
}

HttpSession::Response HttpSession::textResponse(const Request& request, http::status status, std::string text) const
{
    Response reply{status, request.version()};
    reply.set(http::field::content_type, "text/plain; charset=utf-8");
    reply.keep_alive(request.keep_alive());
    reply.body() = std::move(text);
    reply.prepare_payload();
    return reply;
}

void HttpSession::respond(Response reply)
{
    response = std::move(reply);
    http::async_write(stream, *response,
                      beast::bind_front_handler(&HttpSession::onWritten, shared_from_this(), response->keep_alive()));
}

void HttpSession::onWritten(bool keepAlive, error_code error, std::size_t)
{
    if (error || !keepAlive)
        return finish();
    readRequest();
}
