#pragma once

#include "core/Published.h"
#include "model/SystemSummary.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <memory>

class NetManager;

// Publishes the system summary for the status report from the command worker, where the tree
// lives: at most once a second, and only when commands have run since the last one, so that an
// idle kipd does nothing and a large network is walked seldom. The timer runs on the event loop.
class SummaryPublisher : public std::enable_shared_from_this<SummaryPublisher> {
public:
    SummaryPublisher(boost::asio::io_context& ioContext, NetManager& netManager);

    // The first summary is queued at once, then checked every second.
    void start();
    // Any thread; empty until the first summary.
    std::shared_ptr<const SystemSummary> latest() const { return published.latest(); }

private:
    void check();
    void publish(const std::string& unused);

    boost::asio::steady_timer timer;
    NetManager& netManager;
    Published<SystemSummary> published;
    std::atomic<bool> queued{false};
    // The worker's count of executed commands once the last summary's own command has run.
    std::atomic<std::uint64_t> executedAfterPublish{~std::uint64_t(0)};
};
