#include "app/toolkit/StdRunLoop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace toolkit {

using Clock = std::chrono::steady_clock;

namespace {
class StdTimer;
}

struct StdRunLoop::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<StdTimer>> timers;
};

namespace {

class StdTimer : public Timer {
public:
    StdTimer(std::shared_ptr<StdRunLoop::State> state, float seconds, std::function<void()> tick)
        : state_(std::move(state)),
          interval_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(static_cast<double>(seconds)))),
          next_(Clock::now() + interval_), tick_(std::move(tick)) {}

    void invalidate() override {
        std::lock_guard lock(state_->mutex);
        valid_ = false;
        state_->changed.notify_all();
    }
    bool isValid() const override {
        std::lock_guard lock(state_->mutex);
        return valid_;
    }

    // Called with the loop's mutex held.
    bool validLocked() const { return valid_; }
    Clock::time_point nextLocked() const { return next_; }
    void advanceLocked() { next_ += interval_; }
    void fire() { tick_(); }

private:
    std::shared_ptr<StdRunLoop::State> state_;
    Clock::duration interval_;
    Clock::time_point next_;
    bool valid_ = true;
    std::function<void()> tick_;
};

} // namespace

StdRunLoop::StdRunLoop() : state_(std::make_shared<State>()) {}

StdRunLoop::~StdRunLoop() {
    // Timers refer back to the state; drop them so neither keeps the other alive.
    std::lock_guard lock(state_->mutex);
    state_->timers.clear();
}

std::shared_ptr<Timer> StdRunLoop::scheduledTimer(float seconds, std::function<void()> tick) {
    auto timer = std::make_shared<StdTimer>(state_, seconds, std::move(tick));
    std::lock_guard lock(state_->mutex);
    state_->timers.push_back(timer);
    return timer;
}

void StdRunLoop::run() {
    std::unique_lock lock(state_->mutex);
    for (;;) {
        auto& timers = state_->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(),
                                    [](const auto& t) { return !t->validLocked(); }),
                     timers.end());
        if (timers.empty()) return;
        auto due =
            *std::min_element(timers.begin(), timers.end(), [](const auto& a, const auto& b) {
                return a->nextLocked() < b->nextLocked();
            });
        state_->changed.wait_until(lock, due->nextLocked(), [&] { return !due->validLocked(); });
        if (!due->validLocked() || Clock::now() < due->nextLocked()) continue;
        due->advanceLocked();
        lock.unlock();
        due->fire();
        lock.lock();
    }
}

} // namespace toolkit
