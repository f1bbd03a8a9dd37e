#include "ui/OneShotTimer.h"

#include <QTimer>

struct TOneShotTimer::Impl {
    QTimer timer;
};

TOneShotTimer::TOneShotTimer(std::function<void()> onFire) : impl_(std::make_unique<Impl>()) {
    impl_->timer.setSingleShot(true);
    QObject::connect(&impl_->timer, &QTimer::timeout, [fire = std::move(onFire)] { fire(); });
}

TOneShotTimer::~TOneShotTimer() = default;

void TOneShotTimer::Start(int milliseconds) {
    impl_->timer.start(milliseconds);
}

void TOneShotTimer::Stop() {
    impl_->timer.stop();
}

bool TOneShotTimer::Active() const {
    return impl_->timer.isActive();
}
