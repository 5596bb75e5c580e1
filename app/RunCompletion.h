#pragma once
// How an engine thread hands its result to the thread that watches the run.
// The thread that publishes writes everything the run produced before it
// calls publish(); the watcher reads it only once finished() has said true.

#include <atomic>
#include <cstdint>

class RunCompletion {
public:
    // The engine's 0 or -1. Everything written before this call is visible to
    // a thread that has seen finished() return true.
    void publish(int32_t result) {
        result_.store(result, std::memory_order_relaxed);
        finished_.store(true, std::memory_order_release);
    }
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    // Meaningful only after finished() returned true.
    int32_t result() const { return result_.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> result_{0};
    std::atomic<bool> finished_{false};
};
