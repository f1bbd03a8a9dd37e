#include "ui/EventLoop.h"

#include "ui/ApplicationErrors.h"
#include "ui/TickCount.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>

// Posted messages live in one first-in-first-out queue of our own rather than as one Qt event
// each. A Qt event only wakes the loop when the queue starts filling outside a delivery pass;
// what handlers post during a pass is delivered in the same pass, after the handler that
// posted it has returned. That saves the loop's wake-up round trip for the typical chain
// "data arrives, request completes, next command is sent" that a protocol client runs per
// message. Socket readiness is handled the same way (RunThenDeliver): what a readiness callback
// posts is delivered right after it. Nested waits still see the queue: Application::ProcessMessages
// delivers it, and a Qt loop about to block with messages waiting is woken first.

namespace {

// The endpoint behind an HWND. It may be released from inside its own handler (a socket that
// frees itself), so it is only deleted once no dispatch into it is running.
class TNotifyWindow {
public:
    explicit TNotifyWindow(TWndMethod method) : method_(std::move(method)) {}

    void Release() {
        released_ = true;
        method_ = nullptr;
        if (dispatching_ == 0) delete this;
    }

    void Dispatch(TMessage& message) {
        if (released_ || !method_) return;
        ++dispatching_;
        try {
            TWndMethod method = method_; // survives a Release from inside the handler
            method(message);
        } catch (...) {
            HandleEscapedException(std::current_exception());
        }
        --dispatching_;
        if (released_ && dispatching_ == 0) delete this;
    }

private:
    TWndMethod method_;
    int dispatching_ = 0;
    bool released_ = false;
};

struct TQueuedMessage {
    HWND window;
    TMessage message;
};

std::unordered_map<HWND, TNotifyWindow*>& Windows() {
    static std::unordered_map<HWND, TNotifyWindow*> windows;
    return windows;
}

std::deque<TQueuedMessage> queue;
int deliveryDepth = 0;
HWND nextHandle = 1;
bool terminated = false;

// A pass hands the loop back after this many messages, so a handler that keeps posting to
// itself cannot starve timers and socket readiness.
constexpr int kMessagesPerPass = 256;

TNotifyWindow* Find(HWND window) {
    auto it = Windows().find(window);
    return it == Windows().end() ? nullptr : it->second;
}

void DeliverQueued();

// Receives the wake-up event and runs a delivery pass; lives for the whole process.
class TMessagePump : public QObject {
public:
    static const QEvent::Type kWake;

    void RequestWake() {
        if (wakePending_ || !QCoreApplication::instance()) return;
        wakePending_ = true;
        QCoreApplication::postEvent(this, new QEvent(kWake));
        HookDispatcher();
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kWake) return QObject::event(e);
        wakePending_ = false;
        DeliverQueued();
        return true;
    }

private:
    // A nested Qt loop (a modal dialog, a test waiting for an event) started from inside a
    // handler would otherwise sleep while messages posted by that handler wait.
    void HookDispatcher() {
        if (hooked_) return;
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
                if (!queue.empty()) RequestWake();
            });
            hooked_ = true;
        }
    }

    bool wakePending_ = false;
    bool hooked_ = false;
};

const QEvent::Type TMessagePump::kWake = static_cast<QEvent::Type>(QEvent::registerEventType());

TMessagePump& Pump() {
    // Never destroyed: Qt objects must not be torn down after the application object.
    static TMessagePump* pump = new TMessagePump;
    return *pump;
}

void DeliverQueued() {
    ++deliveryDepth;
    int delivered = 0;
    while (!queue.empty()) {
        if (delivered++ == kMessagesPerPass) {
            Pump().RequestWake();
            break;
        }
        TQueuedMessage item = queue.front();
        queue.pop_front();
        if (TNotifyWindow* endpoint = Find(item.window)) endpoint->Dispatch(item.message);
    }
    --deliveryDepth;
}

} // namespace

HWND AllocateHWnd(TWndMethod method) {
    const HWND handle = nextHandle++;
    Windows().emplace(handle, new TNotifyWindow(std::move(method)));
    return handle;
}

void DeallocateHWnd(HWND window) {
    auto it = Windows().find(window);
    if (it == Windows().end()) return;
    TNotifyWindow* endpoint = it->second;
    Windows().erase(it);
    // Messages still queued for it find no endpoint and are dropped.
    endpoint->Release();
}

bool IsWindow(HWND window) {
    return Find(window) != nullptr;
}

bool PostMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (!Find(window)) return false;
    queue.push_back({window, TMessage{msg, wParam, lParam, 0}});
    if (deliveryDepth == 0) Pump().RequestWake();
    return true;
}

void RunThenDeliver(const std::function<void()>& work) {
    if (deliveryDepth > 0) {
        work();
        return;
    }
    ++deliveryDepth;
    try {
        work();
    } catch (...) {
        // What it posted before failing still goes out, from the loop's next pass.
        --deliveryDepth;
        if (!queue.empty()) Pump().RequestWake();
        throw;
    }
    --deliveryDepth;
    DeliverQueued();
}

LRESULT SendMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    TNotifyWindow* endpoint = Find(window);
    if (!endpoint) return 0;
    TMessage message{msg, wParam, lParam, 0};
    endpoint->Dispatch(message);
    return message.Result;
}

void PostToMainThread(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [fn = std::move(fn)] {
            try {
                fn();
            } catch (...) {
                HandleEscapedException(std::current_exception());
            }
        },
        Qt::QueuedConnection);
}

namespace Application {

void ProcessMessages() {
    DeliverQueued();
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Terminate() {
    terminated = true;
    QCoreApplication::quit();
}

bool Terminated() {
    return terminated;
}

TWaitResult WaitUntil(const std::function<bool()>& done, const TWaitDeadline& deadline) {
    // One timer per wait wakes the sleeping loop at the deadline; it is re-armed on every pass
    // because the deadline may have moved.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    for (;;) {
        DeliverQueued();
        if (done()) return TWaitResult::Done;
        if (terminated) return TWaitResult::Terminated;
        const std::uint32_t now = GetTickCount();
        if (deadline.Limited && TickReached(now, deadline.Tick)) return TWaitResult::TimedOut;
        if (!QCoreApplication::instance()) {
            // Without a platform loop nothing can wake us; nothing can finish either.
            if (!deadline.Limited) return TWaitResult::Terminated;
            std::this_thread::sleep_for(std::chrono::milliseconds(deadline.Tick - now));
            continue;
        }
        if (!queue.empty()) {
            // A pass was cut short (kMessagesPerPass) or a handler posted: no sleep.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            continue;
        }
        if (deadline.Limited)
            wake.start(static_cast<int>(std::min<std::uint32_t>(deadline.Tick - now, 0x7FFFFFFF)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void ResetTerminated() {
    terminated = false;
}

} // namespace Application

void SleepZero() {
    std::this_thread::yield();
}
