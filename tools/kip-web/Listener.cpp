#include "Listener.h"

#include "Bounds.h"
#include "HttpSession.h"

#include <iostream>

Listener::Listener(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint)
    : acceptor(context, endpoint), retry(context)
{
}

void Listener::accept()
{
    acceptor.async_accept([this](boost::system::error_code error, boost::asio::ip::tcp::socket socket) {
        onAccepted(error, std::move(socket));
    });
}

void Listener::onAccepted(boost::system::error_code error, boost::asio::ip::tcp::socket socket)
{
    if (!error) {
        std::make_shared<HttpSession>(std::move(socket), site)->start();
        return accept();
    }
    // Out of descriptors, for instance: wait a little rather than spin.
    std::cerr << "kip-web: accepting a connection failed: " << error.message() << '\n';
    retry.expires_after(bounds::acceptRetry);
    retry.async_wait([this](boost::system::error_code) { accept(); });
}
