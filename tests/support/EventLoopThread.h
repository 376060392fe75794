#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>

// Runs an io_context on a thread of its own for the life of the object.
class EventLoopThread {
public:
    ~EventLoopThread() { stop(); }
    // Ends the loop; objects built on the context may then be destroyed before it.
    void stop()
    {
        work.reset();
        context.stop();
        if (thread.joinable())
            thread.join();
    }
    boost::asio::io_context& io() { return context; }

private:
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread{[this] { context.run(); }};
};
