#include "ui/UpdateThrottle.h"

TUpdateThrottle::TUpdateThrottle(int periodMs, std::function<void()> update)
    : period_(periodMs), update_(std::move(update)) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Flush(); });
}

void TUpdateThrottle::Request() {
    pending_ = true;
    if (timer_.isActive()) return;
    const qint64 since = lastRun_.isValid() ? lastRun_.elapsed() : period_;
    if (since >= period_)
        Run();
    else
        timer_.start(static_cast<int>(period_ - since));
}

void TUpdateThrottle::Flush() {
    if (pending_) Run();
}

void TUpdateThrottle::Cancel() noexcept {
    pending_ = false;
    timer_.stop();
}

void TUpdateThrottle::Run() {
    timer_.stop();
    pending_ = false;
    lastRun_.start();
    update_();
}
