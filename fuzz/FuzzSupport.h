#pragma once

#include "core/CommandSingleton.h"
#include "model/NetManager.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

// A configuration daemon that accepts both links and swallows whatever it is sent, with the
// event loop on a thread of its own, so that every send of the code under test succeeds.
class SilentConfDaemon {
public:
    SilentConfDaemon() : work(boost::asio::make_work_guard(io)), main(io, endpoint()), direct(io, endpoint())
    {
        accept(main);
        accept(direct);
        thread = std::thread([this] { io.run(); });
    }
    int mainPort() const { return main.local_endpoint().port(); }
    int directPort() const { return direct.local_endpoint().port(); }
    boost::asio::io_context& context() { return io; }

private:
    using tcp = boost::asio::ip::tcp;
    static tcp::endpoint endpoint() { return tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0); }

    void accept(tcp::acceptor& acceptor)
    {
        acceptor.async_accept([this, &acceptor](const boost::system::error_code& error, tcp::socket socket) {
            if (!error)
                swallow(std::make_shared<tcp::socket>(std::move(socket)));
            accept(acceptor);
        });
    }
    void swallow(std::shared_ptr<tcp::socket> socket)
    {
        auto buffer = std::make_shared<std::array<char, 4096>>();
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
    std::thread thread;
};

// Runs `function` on the command worker, as the daemon runs every protocol, and waits for it.
inline void onWorker(std::function<void()> function)
{
    class Call : public Command {
    public:
        explicit Call(std::function<void()> function) : function(std::move(function)) {}
        void execute(const std::string&) override
        {
            function();
            done.set_value();
        }
        std::function<void()> function;
        std::promise<void> done;
    };
    auto call = std::make_shared<Call>(std::move(function));
    std::future<void> finished = call->done.get_future();
    CommandSingleton::instance().enqueue(call, "");
    finished.wait();
}
