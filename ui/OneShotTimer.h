#pragma once

#include <functional>
#include <memory>

// A timer that fires once, from the event loop, a given time after Start. Start again restarts
// it; Stop (or destruction) cancels it. Lets the components below the toolkit keep time limits
// without waiting in a loop.
class TOneShotTimer {
public:
    explicit TOneShotTimer(std::function<void()> onFire);
    ~TOneShotTimer();
    TOneShotTimer(const TOneShotTimer&) = delete;
    TOneShotTimer& operator=(const TOneShotTimer&) = delete;

    void Start(int milliseconds);
    void Stop();
    bool Active() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
