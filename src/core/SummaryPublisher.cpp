#include "core/SummaryPublisher.h"

#include "core/CommandSingleton.h"
#include "model/NetManager.h"

#include <chrono>

namespace {
constexpr std::chrono::seconds publishInterval(1);
}

SummaryPublisher::SummaryPublisher(boost::asio::io_context& ioContext, NetManager& netManager)
    : timer(ioContext), netManager(netManager)
{
}

void SummaryPublisher::start() { check(); }

void SummaryPublisher::check()
{
    CommandSingleton& queue = CommandSingleton::instance();
    if (!queued && queue.figures().executed != executedAfterPublish) {
        queued = true;
        queue.enqueue(std::make_shared<WeakCommand<SummaryPublisher>>(weak_from_this(), &SummaryPublisher::publish),
                      std::string());
    }
    timer.expires_after(publishInterval);
    timer.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        std::shared_ptr<SummaryPublisher> publisher = weak.lock();
        if (!error && publisher)
            publisher->check();
    });
}

// Worker thread. This command counts as executed once it returns, hence the one added.
void SummaryPublisher::publish(const std::string&)
{
    published.publish(netManager.summary());
    executedAfterPublish = CommandSingleton::instance().figures().executed + 1;
    queued = false;
}
