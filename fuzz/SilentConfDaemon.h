#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

// A configuration daemon that accepts both links on loopback and discards whatever it is sent,
// with its event loop on a thread of its own. Links of the code under test that are built on
// `context()` then connect at once, so no send waits for a reconnect.
class SilentConfDaemon {
public:
    SilentConfDaemon() : work(boost::asio::make_work_guard(io)), main(io, endpoint()), direct(io, endpoint())
    {
        accept(main);
        accept(direct);
        thread = std::thread([this] { io.run(); });
    }
    ~SilentConfDaemon()
    {
        work.reset();
        io.stop();
        thread.join();
    }
    SilentConfDaemon(const SilentConfDaemon&) = delete;
    SilentConfDaemon& operator=(const SilentConfDaemon&) = delete;

    int mainPort() const { return main.local_endpoint().port(); }
    int directPort() const { return direct.local_endpoint().port(); }
    boost::asio::io_context& context() { return io; }
    int acceptedCount() const { return accepted; }

    // Returns once every handler ready on the event loop before the call has run (or after 5 s).
    void settle()
    {
        auto done = std::make_shared<std::promise<void>>();
        boost::asio::post(io, [done] { done->set_value(); });
        done->get_future().wait_for(std::chrono::seconds(5));
    }

private:
    using tcp = boost::asio::ip::tcp;
    static tcp::endpoint endpoint() { return tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0); }

    void accept(tcp::acceptor& acceptor)
    {
        acceptor.async_accept([this, &acceptor](const boost::system::error_code& error, tcp::socket socket) {
            if (error)
                return;
            ++accepted;
            swallow(std::make_shared<tcp::socket>(std::move(socket)));
            accept(acceptor);
        });
    }
    void swallow(std::shared_ptr<tcp::socket> socket)
    {
        auto buffer = std::make_shared<std::array<char, 65536>>();
        socket->async_read_some(boost::asio::buffer(*buffer),
                                [this, socket, buffer](const boost::system::error_code& error, std::size_t) {
                                    if (!error)
                                        swallow(socket);
                                });
    }

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    tcp::acceptor main;
    tcp::acceptor direct;
    std::atomic<int> accepted{0};
    std::thread thread;
};
