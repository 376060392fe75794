#pragma once

#include "Site.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

// Accepts browsers' connections and gives each to an HttpSession.
class Listener {
public:
    Listener(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint);
    void start(std::shared_ptr<Site> served)
    {
        site = std::move(served);
        accept();
    }
    boost::asio::ip::tcp::endpoint endpoint() const { return acceptor.local_endpoint(); }

private:
    void accept();
    void onAccepted(boost::system::error_code error, boost::asio::ip::tcp::socket socket);

    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer retry;
    std::shared_ptr<Site> site;
};
