#include "HttpSession.h"

#include "Bounds.h"
#include "Bridge.h"
#include "ChainStatus.h"
#include "GuardHeaders.h"
#include "Guarded.h"
#include "Metrics.h"
#include "WebFiles.h"

#include <boost/beast/websocket.hpp>

#include <charconv>
#include <iostream>

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

std::string_view pathOf(beast::string_view target)
{
    std::string_view text(target.data(), target.size());
    return text.substr(0, text.find('?'));
}

// The N of "?ms=N" within 0 and the longest quiet, or nothing.
std::optional<std::chrono::milliseconds> quietOf(beast::string_view target)
{
    std::string_view query(target.data(), target.size());
    query.remove_prefix(std::min(query.find('?'), query.size()));
    if (query.substr(0, 4) != "?ms=")
        return std::nullopt;
    long long milliseconds = -1;
    auto [end, error] = std::from_chars(query.data() + 4, query.data() + query.size(), milliseconds);
    if (error != std::errc() || end != query.data() + query.size() || milliseconds < 0 ||
        milliseconds > bounds::longestQuiet.count())
        return std::nullopt;
    return std::chrono::milliseconds(milliseconds);
}

std::optional<boost::asio::ip::address> peerOf(const boost::asio::ip::tcp::socket& socket)
{
    boost::system::error_code error;
    auto peer = socket.remote_endpoint(error);
    return error ? std::nullopt : std::optional(peer.address());
}

// A body framed otherwise than by Content-Length or chunked cannot be told from the next request.
bool framingIsKnown(const http::fields& head)
{
    auto encoding = head.find(http::field::transfer_encoding);
    return encoding == head.end() ||
           (head.count(http::field::transfer_encoding) == 1 && beast::iequals(encoding->value(), "chunked"));
}

bool isParseError(beast::error_code error)
{
    static const auto& category = beast::error_code(http::error::bad_method).category();
    return error.category() == category && error != http::error::end_of_stream && error != http::error::partial_message;
}

// An answer to HEAD names its body's length and leaves the body out.
template <class Response>
void setBody(Response& reply, bool head, std::string body)
{
    if (head)
        return reply.content_length(body.size());
    reply.body() = std::move(body);
    reply.prepare_payload();
}

}  // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, std::shared_ptr<Site> site)
    : stream(std::move(socket)), peer(peerOf(stream.socket())),
      client(peer ? site->keys.ofConnection(*peer) : "unknown"), quiet(stream.get_executor()), site(std::move(site))
{
}

void HttpSession::start()
{
    if (!peer)
        return;  // gone already
    std::optional<ConnectionCaps::Ticket> admitted =
        site->connections->admit(client, !site->keys.isProxy(*peer), [this] { giveWay(); });
    if (!admitted)
        return site->counters.refuse(WebCounters::Refusal::connections);
    ticket.emplace(std::move(*admitted));
    readRequest();
}

// Made room for a newcomer: the handlers still pending see their operations aborted.
void HttpSession::giveWay()
{
    ++site->counters.connectionsClosedForRoom;
    quiet.cancel();
    stream.close();
}

void HttpSession::abandon(const std::exception& error)
{
    std::cerr << "kip-web: " << client << ": closing a connection: " << error.what() << '\n';
    stream.close();
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
    ticket->touch();
    stream.expires_after(bounds::requestHead);
    http::async_read_header(stream, buffer, *parser, guarded(shared_from_this(), &HttpSession::onHead));
}

void HttpSession::onHead(error_code error, std::size_t)
{
    if (error)
        return onReadFailed(error);
    if (!framingIsKnown(parser->get())) {
        site->counters.refuse(WebCounters::Refusal::malformed);
        return refuseAndClose(http::status::bad_request, "kip-web reads no Transfer-Encoding but chunked.\n");
    }
    if (parser->is_done())
        return onRequest({}, 0);
    stream.expires_after(bounds::httpIdle);
    http::async_read(stream, buffer, *parser, guarded(shared_from_this(), &HttpSession::onRequest));
}

void HttpSession::onRequest(error_code error, std::size_t)
{
    if (error)
        return onReadFailed(error);
    Request request = parser->release();
    std::string from = site->keys.ofRequest(*peer, request);
    if (std::optional<Refusal> refusal = site->admission.checkSite(request, from))
        return refuse(request, *refusal);
    if (beast::websocket::is_upgrade(request))
        return upgrade(std::move(request), from);
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        Response reply = textResponse(request, http::status::method_not_allowed, "Only GET and HEAD are served.\n");
        reply.set(http::field::allow, "GET, HEAD");
        return respond(std::move(reply));
    }
    serve(std::move(request), from);
}

// A client that left or fell silent is closed; one that sent what is not HTTP hears why first.
void HttpSession::onReadFailed(error_code error)
{
    if (!isParseError(error))
        return finish();
    site->counters.refuse(WebCounters::Refusal::malformed);
    refuseAndClose(http::status::bad_request, "This is not an HTTP request that kip-web reads.\n");
}

void HttpSession::serve(Request request, const std::string& from)
{
    std::string_view path = pathOf(request.target());
    bool ownFile = path != "/quiet" && path != "/session" && path != "/status" && path != "/metrics";
    if (!ownFile)
        if (std::optional<Refusal> refusal = site->admission.checkToken(request, from))
            return refuse(request, *refusal);
    if (path == "/quiet")
        return answerAfterQuiet(request);
    if (path == "/status" || path == "/metrics")
        return answerFromStatus(request, path);
    respond(path == "/session" ? sessionResponse(request) : fileResponse(request));
}

// The page's clock for "no report for a while": browsers throttle their own timers in hidden
// tabs and headless ones fast-forward them, while this answer comes after real time.
void HttpSession::answerAfterQuiet(const Request& request)
{
    std::optional<std::chrono::milliseconds> wait = quietOf(request.target());
    if (!wait)
        return respond(textResponse(request, http::status::bad_request, "Ask /quiet?ms=N, N from 0 to 5000.\n"));
    response = textResponse(request, http::status::ok, "quiet\n");
    quiet.expires_after(*wait);
    quiet.async_wait(guarded(shared_from_this(), &HttpSession::onQuiet));
}

void HttpSession::onQuiet(error_code) { write(); }

// Both answers wait for kipd's status, which the reader bounds in time.
void HttpSession::answerFromStatus(const Request& request, std::string_view path)
{
    response = textResponse(request, http::status::ok, "");
    statusAnswer = {path == "/metrics", request.method() == http::verb::head};
    site->kipdStatus->read(guarded(shared_from_this(), &HttpSession::onStatus));
}

void HttpSession::onStatus(const StatusReader::Reading& reading)
{
    if (statusAnswer.metrics) {
        Metrics::Own own{site->slots->open(), site->connections->open(), site->counters};
        const std::string_view type = Metrics::contentType;
        response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
        setBody(*response, statusAnswer.head, Metrics::exposition(own, reading.report.get()));
    } else {
        response->set(http::field::content_type, "application/json");
        setBody(*response, statusAnswer.head, ChainStatus::json(reading));
    }
    write();
}

void HttpSession::upgrade(Request request, const std::string& from)
{
    if (request.target() != "/ws")
        return respond(textResponse(request, http::status::not_found, "No WebSocket here.\n"));
    if (std::optional<Refusal> refusal = site->admission.checkToken(request, from))
        return refuse(request, *refusal);
    std::optional<BridgeSlots::Slot> slot = site->slots->take(from);
    if (!slot)
        return refuse(request,
                      {WebCounters::Refusal::slots, http::status::service_unavailable, "Too many connections.\n"});
    ticket->keep();
    ++site->counters.bridgesOpened;
    std::make_shared<Bridge>(std::move(stream), std::move(*ticket), std::move(*slot), site, from)
        ->start(std::move(request));
}

HttpSession::Response HttpSession::fileResponse(const Request& request) const
{
    const WebFile* file = findWebFile(pathOf(request.target()));
    if (!file)
        return textResponse(request, http::status::not_found, "Not found.\n");
    Response reply{http::status::ok, request.version()};
    std::string_view type = contentTypeOf(file->name);
    reply.set(http::field::content_type, beast::string_view(type.data(), type.size()));
    reply.keep_alive(request.keep_alive());
    setBody(reply, request.method() == http::verb::head, std::string(file->body));
    return reply;
}

// The page asks here whether it needs the token, and hands it over once.
HttpSession::Response HttpSession::sessionResponse(const Request& request) const
{
    Response reply = textResponse(request, http::status::ok, "Welcome.\n");
    if (std::optional<std::string> cookie = site->admission.cookieFor(request))
        reply.set(http::field::set_cookie, *cookie);
    return reply;
}

HttpSession::Response HttpSession::textResponse(const Request& request, http::status status, std::string text) const
{
    Response reply{status, request.version()};
    reply.set(http::field::content_type, "text/plain; charset=utf-8");
    reply.keep_alive(request.keep_alive());
    setBody(reply, request.method() == http::verb::head, std::move(text));
    return reply;
}

void HttpSession::refuse(const Request& request, const Refusal& refusal)
{
    site->counters.refuse(refusal.reason);
    Response reply = textResponse(request, refusal.status, refusal.text);
    if (refusal.status == http::status::unauthorized)
        reply.set(http::field::www_authenticate, "Bearer realm=\"kip-web\"");
    if (refusal.retryAfter.count() > 0)
        reply.set(http::field::retry_after, std::to_string(refusal.retryAfter.count()));
    respond(std::move(reply));
}

void HttpSession::respond(Response reply)
{
    response = std::move(reply);
    write();
}

// For a request whose end cannot be found: the answer ends the connection.
void HttpSession::refuseAndClose(http::status status, std::string text)
{
    Request head;
    head.version(11);
    head.keep_alive(false);
    respond(textResponse(head, status, std::move(text)));
}

void HttpSession::write()
{
    ticket->touch();
    stream.expires_after(bounds::httpIdle);
    setGuardHeaders(*response);
    response->set(http::field::cache_control, "no-cache");
    http::async_write(stream, *response, guarded(shared_from_this(), &HttpSession::onWritten));
}

void HttpSession::onWritten(error_code error, std::size_t)
{
    if (error || !response->keep_alive())
        return finish();
    readRequest();
}
