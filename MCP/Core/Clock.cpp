#include "MCP/Core/Clock.h"

#include <boost/asio/steady_timer.hpp>

namespace mcp {

namespace {

class SteadyClock final : public Clock {
public:
    std::function<void()> schedule(boost::asio::any_io_executor executor,
                                   std::chrono::nanoseconds delay,
                                   std::function<void()> fire) override {
        auto timer = std::make_shared<boost::asio::steady_timer>(
            executor, std::chrono::duration_cast<boost::asio::steady_timer::duration>(delay));
        timer->async_wait([timer, fire = std::move(fire)](const boost::system::error_code& error) {
            if (!error) {
                fire();
            }
        });
        return [weak = std::weak_ptr<boost::asio::steady_timer>(timer)] {
            if (auto timer = weak.lock()) {
                timer->cancel();
            }
        };
    }
};

}  // namespace

std::shared_ptr<Clock> steadyClock() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>();
    return clock;
}

}  // namespace mcp
