#pragma once
// A run loop built on the standard library alone: timers fire on the thread
// that calls run(), which returns once every timer has been invalidated.
// Both the Qt layer and the test fake use it for the progress thread.

#include "app/toolkit/System.h"

#include <memory>

namespace toolkit {

class StdRunLoop : public RunLoop {
public:
    StdRunLoop();
    ~StdRunLoop() override;
    std::shared_ptr<Timer> scheduledTimer(float seconds, std::function<void()> tick) override;
    void run() override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace toolkit
