#include "ui/FdWatch.h"

#include "ui/ApplicationErrors.h"
#include "ui/EventLoop.h"

#include <QSocketNotifier>

struct TFdWatch::Impl {
    QSocketNotifier notifier;
    std::function<void()> onReady;

    Impl(int fd, TKind kind, std::function<void()> ready)
        : notifier(fd, kind == fwRead ? QSocketNotifier::Read : QSocketNotifier::Write),
          onReady(std::move(ready)) {}
};

TFdWatch::TFdWatch(int fd, TKind kind, std::function<void()> onReady)
    : impl_(std::make_unique<Impl>(fd, kind, std::move(onReady))) {
    impl_->notifier.setEnabled(false);
    QObject::connect(&impl_->notifier, &QSocketNotifier::activated, [impl = impl_.get()] {
        try {
            // The delivery that follows may destroy this watch; work is not touched after it.
            if (impl->onReady) RunThenDeliver(impl->onReady);
        } catch (...) {
            HandleEscapedException(std::current_exception());
        }
    });
}

TFdWatch::~TFdWatch() = default;

void TFdWatch::SetEnabled(bool enabled) {
    impl_->notifier.setEnabled(enabled);
}

bool TFdWatch::Enabled() const {
    return impl_->notifier.isEnabled();
}
