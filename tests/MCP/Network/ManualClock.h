// A clock whose time moves only when the test says so: waits of seconds take no real time.
// The delays asked for are kept, in order, for tests of a schedule.
#pragma once

#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "MCP/Core/Clock.h"

namespace mcp::testing {

class ManualClock final : public Clock, public std::enable_shared_from_this<ManualClock> {
public:
    std::function<void()> schedule(boost::asio::any_io_executor executor,
                                   std::chrono::nanoseconds delay,
                                   std::function<void()> fire) override {
        std::lock_guard lock(mutex_);
        const std::uint64_t id = ++lastId_;
        alarms_.push_back(Alarm{id, now_ + delay, std::move(executor), std::move(fire)});
        delays_.push_back(delay);
        return [weak = weak_from_this(), id] {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                std::erase_if(self->alarms_, [id](const Alarm& alarm) { return alarm.id == id; });
            }
        };
    }

    // Moves the time to the earliest alarm and fires every alarm due then; false when none waits.
    bool advanceToNext() {
        std::vector<Alarm> due;
        {
            std::lock_guard lock(mutex_);
            if (alarms_.empty()) {
                return false;
            }
            auto earliest = alarms_.front().deadline;
            for (const Alarm& alarm : alarms_) {
                earliest = std::min(earliest, alarm.deadline);
            }
            now_ = std::max(now_, earliest);
            takeDue(due);
        }
        fireAll(due);
        return true;
    }

    // Moves the time on by `duration`, firing what falls due.
    void advance(std::chrono::nanoseconds duration) {
        std::vector<Alarm> due;
        {
            std::lock_guard lock(mutex_);
            now_ += duration;
            takeDue(due);
        }
        fireAll(due);
    }

    std::chrono::nanoseconds now() const {
        std::lock_guard lock(mutex_);
        return now_;
    }
    std::vector<std::chrono::nanoseconds> delays() const {
        std::lock_guard lock(mutex_);
        return delays_;
    }
    std::size_t waiting() const {
        std::lock_guard lock(mutex_);
        return alarms_.size();
    }

private:
    struct Alarm {
        std::uint64_t id;
        std::chrono::nanoseconds deadline;
        boost::asio::any_io_executor executor;
        std::function<void()> fire;
    };

    void takeDue(std::vector<Alarm>& due) {
        std::stable_sort(alarms_.begin(), alarms_.end(),
                         [](const Alarm& a, const Alarm& b) { return a.deadline < b.deadline; });
        while (!alarms_.empty() && alarms_.front().deadline <= now_) {
            due.push_back(std::move(alarms_.front()));
            alarms_.erase(alarms_.begin());
        }
    }

    static void fireAll(std::vector<Alarm>& due) {
        for (Alarm& alarm : due) {
            boost::asio::post(alarm.executor, std::move(alarm.fire));
        }
    }

    mutable std::mutex mutex_;
    std::chrono::nanoseconds now_{0};
    std::uint64_t lastId_ = 0;
    std::vector<Alarm> alarms_;
    std::vector<std::chrono::nanoseconds> delays_;
};

}  // namespace mcp::testing
