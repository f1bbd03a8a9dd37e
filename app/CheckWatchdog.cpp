#include "app/CheckWatchdog.h"

TCheckWatchdog::TCheckWatchdog() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Check(); });
}

void TCheckWatchdog::SetLimits(int idleMs, int closeWaitMs) {
    idleMs_ = idleMs;
    closeWaitMs_ = closeWaitMs;
}

void TCheckWatchdog::Start() {
    phase_ = wdWatching;
    holds_ = 0;
    sinceProgress_.start();
    Arm(idleMs_);
}

void TCheckWatchdog::Progress() {
    if (phase_ == wdWatching) sinceProgress_.restart();
}

void TCheckWatchdog::AwaitClose() {
    if (phase_ == wdIdle) return;
    phase_ = wdAwaitingClose;
    sinceProgress_.restart();
    Arm(closeWaitMs_);
}

void TCheckWatchdog::Stop() {
    phase_ = wdIdle;
    timer_.stop();
}

void TCheckWatchdog::Hold() {
    ++holds_;
}

void TCheckWatchdog::Release() {
    if (holds_ > 0 && --holds_ == 0) Progress();
}

void TCheckWatchdog::Arm(int ms) {
    timer_.start(ms < 1 ? 1 : ms);
}

int TCheckWatchdog::Remaining() const {
    const qint64 limit = phase_ == wdAwaitingClose ? closeWaitMs_ : idleMs_;
    const qint64 left = limit - sinceProgress_.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}

void TCheckWatchdog::Check() {
    if (phase_ == wdIdle) return;
    if (holds_ > 0 && phase_ == wdWatching) {
        Arm(idleMs_);
        return;
    }
    if (const int left = Remaining(); left > 0) {
        Arm(left);
        return;
    }
    const std::string reason = phase_ == wdAwaitingClose
                                   ? "The server did not close the connection"
                                   : "No answer from the server for " +
                                         std::to_string((idleMs_ + 999) / 1000) + " seconds";
    Stop();
    if (OnExpired) OnExpired(reason);
}
