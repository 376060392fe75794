#include "Bridge.h"

#include "ChangeRecord.h"
#include "GuardHeaders.h"
#include "Guarded.h"
#include "JsonText.h"
#include "wire/Ports.h"
#include "wire/Utf8.h"

#include <iostream>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using websocket::close_code;

namespace {

bool isJson(std::string_view text) { return isJsonText(text, bounds::maxJsonDepth); }

// The protocol allows 123 bytes of reason; a cut never splits a UTF-8 sequence.
websocket::close_reason reasonOf(close_code code, std::string_view why)
{
    if (why.size() > bounds::maxCloseReason) {
        std::size_t end = bounds::maxCloseReason;
        while (end > 0 && isUtf8Continuation(static_cast<unsigned char>(why[end])))
            --end;
        why = why.substr(0, end);
    }
    return websocket::close_reason(code, beast::string_view(why.data(), why.size()));
}

}  // namespace

Bridge::Bridge(beast::tcp_stream browserStream, ConnectionCaps::Ticket connection, BridgeSlots::Slot slot,
               std::shared_ptr<Site> site, std::string client)
    : browser(std::move(browserStream)), kipd(browser.get_executor()), resolver(browser.get_executor()),
      connection(std::move(connection)), slot(std::move(slot)), site(std::move(site)), client(std::move(client)),
      towardBrowser(bounds::queueHighMark, bounds::queueLowMark), towardKipd(bounds::queueHighMark, bounds::queueLowMark)
{
}

void Bridge::start(Request upgrade)
{
    beast::get_lowest_layer(browser).expires_never();
    websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.idle_timeout = bounds::browserIdle;
    timeouts.keep_alive_pings = true;
    browser.set_option(timeouts);
    browser.read_message_max(bounds::maxMessage);
    browser.text(true);
    browser.set_option(websocket::stream_base::decorator([](websocket::response_type& answer) { setGuardHeaders(answer); }));
    browser.async_accept(upgrade, guarded(shared_from_this(), &Bridge::onAccepted));
}

void Bridge::onAccepted(error_code error)
{
    if (error)
        return close();
    resolver.async_resolve(site->kipdHost, std::to_string(kipport::host),
                           guarded(shared_from_this(), &Bridge::onResolved));
}

void Bridge::onResolved(error_code error, const tcp::resolver::results_type& results)
{
    if (error)
        return close(close_code::try_again_later, "kipd cannot be reached: " + site->kipdHost + " is not known");
    kipd.expires_after(bounds::kipdConnect);
    kipd.async_connect(results, guarded(shared_from_this(), &Bridge::onConnected));
}

void Bridge::onConnected(error_code error, const tcp::endpoint&)
{
    if (error)
        return close(close_code::try_again_later,
                     "kipd cannot be reached at " + site->kipdHost + ":" + std::to_string(kipport::host));
    kipd.expires_never();
    boost::system::error_code ignored;
    tcp::endpoint local = kipd.socket().local_endpoint(ignored);
    kipdSide = local.address().to_string() + ":" + std::to_string(local.port());
    readBrowser();
    readKipd();
}

void Bridge::readBrowser()
{
    browser.async_read(browserInput, guarded(shared_from_this(), &Bridge::onBrowserRead));
}

void Bridge::onBrowserRead(error_code error, std::size_t)
{
    if (error || closing)
        return close();
    std::string message = beast::buffers_to_string(browserInput.data());
    browserInput.consume(browserInput.size());
    if (!browser.got_text())
        return close(close_code::unknown_data, "only text messages are bridged");
    if (!isJson(message))
        return close(close_code::bad_payload, "a message must be one JSON text");
    record(message);
    message.push_back('\0');
    if (towardKipd.push(std::move(message)))
        writeKipd();
    if (towardKipd.holdsBack())
        browserPaused = true;
    else
        readBrowser();
}

void Bridge::record(const std::string& request)
{
    std::optional<ChangeRecord> change = ChangeRecord::of(request);
    if (!change)
        return;
    ++site->counters.changes[change->typeIndex()];
    std::cerr << change->line(client, site->admission.requiresToken(), kipdSide) << '\n';
}

void Bridge::readKipd()
{
    kipd.async_read_some(boost::asio::buffer(kipdInput),
                         guarded(shared_from_this(), &Bridge::onKipdRead));
}

void Bridge::onKipdRead(error_code error, std::size_t size)
{
    if (error || closing)
        return close(close_code::try_again_later, "kipd closed the connection");
    framer.append(std::string(kipdInput.data(), size));
    if (!passKipdMessages())
        return;
    if (towardBrowser.holdsBack())
        kipdPaused = true;
    else
        readKipd();
}

// Queues every complete answer toward the browser; false when the bridge closes instead.
bool Bridge::passKipdMessages()
{
    std::string message;
    while (framer.next(message)) {
        if (message.empty())
            continue;
        if (!isJson(message)) {
            close(close_code::internal_error, "kipd sent a message that is not JSON text");
            return false;
        }
        if (towardBrowser.push(std::move(message)))
            writeBrowser();
    }
    if (framer.pendingSize() > bounds::maxMessage) {
        close(close_code::internal_error, "kipd sent an answer beyond the size bound");
        return false;
    }
    return true;
}

void Bridge::writeBrowser()
{
    browser.async_write(boost::asio::buffer(towardBrowser.front()),
                        guarded(shared_from_this(), &Bridge::onBrowserWritten));
}

void Bridge::onBrowserWritten(error_code error, std::size_t)
{
    if (error || closing)
        return close();
    bool more = towardBrowser.pop();
    if (kipdPaused && !towardBrowser.holdsBack()) {
        kipdPaused = false;
        readKipd();
    }
    if (more)
        writeBrowser();
}

void Bridge::writeKipd()
{
    boost::asio::async_write(kipd, boost::asio::buffer(towardKipd.front()),
                             guarded(shared_from_this(), &Bridge::onKipdWritten));
}

void Bridge::onKipdWritten(error_code error, std::size_t)
{
    if (error || closing)
        return close(close_code::try_again_later, "kipd closed the connection");
    bool more = towardKipd.pop();
    if (browserPaused && !towardKipd.holdsBack()) {
        browserPaused = false;
        readBrowser();
    }
    if (more)
        writeKipd();
}

// Ends both sides once; the browser hears why when its WebSocket is still open.
void Bridge::close(close_code code, std::string_view why)
{
    if (closing)
        return;
    closing = true;
    resolver.cancel();
    kipd.close();
    if (!browser.is_open() || code == close_code::none) {
        beast::get_lowest_layer(browser).close();
        return;
    }
    if (!why.empty())
        std::cerr << "kip-web: closing a bridge: " << why << '\n';
    browser.async_close(reasonOf(code, why), [self = shared_from_this()](error_code) {});
}

void Bridge::abandon(const std::exception& error)
{
    std::cerr << "kip-web: closing a bridge: " << error.what() << '\n';
    closing = true;
    resolver.cancel();
    kipd.close();
    beast::get_lowest_layer(browser).close();
}
