#pragma once

#include "Bounds.h"
#include "BridgeSlots.h"
#include "ConnectionCaps.h"
#include "OutboundQueue.h"
#include "Site.h"
#include "wire/NulFramer.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <array>
#include <exception>
#include <memory>
#include <string>

// One browser WebSocket joined to one host-protocol connection to kipd. A text message from
// the browser is one request (the NUL is added); each NUL-terminated answer is one message
// back. Only valid JSON text passes, and each direction pauses its reader while the queue
// toward a slow writer is full. Each change request passed on is recorded (ChangeRecord).
class Bridge : public std::enable_shared_from_this<Bridge> {
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;

    // `client` is the browser's key, as the request that opened the bridge came.
    Bridge(boost::beast::tcp_stream browser, ConnectionCaps::Ticket connection, BridgeSlots::Slot slot,
           std::shared_ptr<Site> site, std::string client);
    void start(Request upgrade);
    // Closes both sides after one of the bridge's handlers threw.
    void abandon(const std::exception& error);

private:
    using error_code = boost::beast::error_code;
    using tcp = boost::asio::ip::tcp;

    void onAccepted(error_code error);
    void onResolved(error_code error, const tcp::resolver::results_type& results);
    void onConnected(error_code error, const tcp::endpoint&);

    void readBrowser();
    void onBrowserRead(error_code error, std::size_t size);
    void readKipd();
    void onKipdRead(error_code error, std::size_t size);
    bool passKipdMessages();
    void record(const std::string& request);

    void writeBrowser();
    void onBrowserWritten(error_code error, std::size_t size);
    void writeKipd();
    void onKipdWritten(error_code error, std::size_t size);

    void close(boost::beast::websocket::close_code code, std::string_view why);
    void close() { close(boost::beast::websocket::close_code::none, {}); }

    boost::beast::websocket::stream<boost::beast::tcp_stream> browser;
    boost::beast::tcp_stream kipd;
    tcp::resolver resolver;
    ConnectionCaps::Ticket connection;
    BridgeSlots::Slot slot;
    std::shared_ptr<Site> site;
    std::string client;
    std::string kipdSide;  // this end of the connection to kipd, as kipd names its client

    boost::beast::flat_buffer browserInput;
    std::array<char, bounds::kipdReadChunk> kipdInput;
    NulFramer framer;
    OutboundQueue towardBrowser;
    OutboundQueue towardKipd;
    bool browserPaused = false;
    bool kipdPaused = false;
    bool closing = false;
};
