#include "Bridge.h"

#include "JsonText.h"

#include <iostream>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using websocket::close_code;

namespace {

bool isJson(std::string_view text) { return isJsonText(text, bounds::maxJsonDepth); }

}  // namespace

Bridge::Bridge(beast::tcp_stream browserStream, BridgeSlots::Slot slot, std::string kipdHost)
    : browser(std::move(browserStream)), kipd(browser.get_executor()), resolver(browser.get_executor()),
      slot(std::move(slot)), kipdHost(std::move(kipdHost)),
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
    browser.async_accept(upgrade, beast::bind_front_handler(&Bridge::onAccepted, shared_from_this()));
}

void Bridge::onAccepted(error_code error)
{
    if (error)
        return close({});
    resolver.async_resolve(kipdHost, std::to_string(bounds::kipdPort),
                           beast::bind_front_handler(&Bridge::onResolved, shared_from_this()));
}

void Bridge::onResolved(error_code error, const tcp::resolver::results_type& results)
{
    if (error)
        return close({close_code::try_again_later, "kipd cannot be reached: " + kipdHost + " is not known"});
    kipd.expires_after(bounds::kipdConnect);
    kipd.async_connect(results, [self = shared_from_this()](error_code error, const tcp::endpoint&) {
        self->onConnected(error);
    });
}

void Bridge::onConnected(error_code error)
{
    if (error)
        return close({close_code::try_again_later,
                      "kipd cannot be reached at " + kipdHost + ":" + std::to_string(bounds::kipdPort)});
    kipd.expires_never();
    readBrowser();
    readKipd();
}

void Bridge::readBrowser()
{
    browser.async_read(browserInput, beast::bind_front_handler(&Bridge::onBrowserRead, shared_from_this()));
}

void Bridge::onBrowserRead(error_code error, std::size_t)
{
    if (error || closing)
        return close({});
    std::string message = beast::buffers_to_string(browserInput.data());
    browserInput.consume(browserInput.size());
    if (!browser.got_text())
        return close({close_code::unknown_data, "only text messages are bridged"});
    if (!isJson(message))
        return close({close_code::bad_payload, "a message must be one JSON text"});
    message.push_back('\0');
    if (towardKipd.push(std::move(message)))
        writeKipd();
    if (towardKipd.holdsBack())
        browserPaused = true;
    else
        readBrowser();
}

void Bridge::readKipd()
{
    kipd.async_read_some(boost::asio::buffer(kipdInput),
                         beast::bind_front_handler(&Bridge::onKipdRead, shared_from_this()));
}

void Bridge::onKipdRead(error_code error, std::size_t size)
{
    if (error || closing)
        return close({close_code::try_again_later, "kipd closed the connection"});
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
            close({close_code::internal_error, "kipd sent a message that is not JSON text"});
            return false;
        }
        if (towardBrowser.push(std::move(message)))
            writeBrowser();
    }
    if (framer.pendingSize() > bounds::maxMessage) {
        close({close_code::internal_error, "kipd sent an answer beyond the size bound"});
        return false;
    }
    return true;
}

void Bridge::writeBrowser()
{
    browser.async_write(boost::asio::buffer(towardBrowser.front()),
                        beast::bind_front_handler(&Bridge::onBrowserWritten, shared_from_this()));
}

void Bridge::onBrowserWritten(error_code error, std::size_t)
{
    if (error || closing)
        return close({});
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
                             beast::bind_front_handler(&Bridge::onKipdWritten, shared_from_this()));
}

void Bridge::onKipdWritten(error_code error, std::size_t)
{
    if (error || closing)
        return close({close_code::try_again_later, "kipd closed the connection"});
    bool more = towardKipd.pop();
    if (browserPaused && !towardKipd.holdsBack()) {
        browserPaused = false;
        readBrowser();
    }
    if (more)
        writeKipd();
}

// Ends both sides once; the browser hears why when its WebSocket is still open.
void Bridge::close(websocket::close_reason reason)
{
    if (closing)
        return;
    closing = true;
    resolver.cancel();
    kipd.close();
    if (!browser.is_open() || reason.code == close_code::none) {
        beast::get_lowest_layer(browser).close();
        return;
    }
    if (!reason.reason.empty())
        std::cerr << "kip-web: closing a bridge: " << reason.reason << '\n';
    browser.async_close(reason, [self = shared_from_this()](error_code) {});
}
