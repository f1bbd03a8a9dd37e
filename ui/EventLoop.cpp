#include "ui/EventLoop.h"

#include "ui/ApplicationErrors.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include <thread>
#include <unordered_map>

namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct TPostedMessageEvent : QEvent {
    explicit TPostedMessageEvent(const TMessage& message) : QEvent(kPostedMessageEvent), message(message) {}
    TMessage message;
};

// The endpoint behind an HWND. It may be released from inside its own handler (a socket that
// frees itself), so it is only deleted once no dispatch into it is running.
class TNotifyWindow : public QObject {
public:
    explicit TNotifyWindow(TWndMethod method) : method_(std::move(method)) {}

    void Release() {
        released_ = true;
        method_ = nullptr;
        if (dispatching_ == 0)
            delete this;
    }

    void Dispatch(TMessage& message) {
        if (released_ || !method_)
            return;
        ++dispatching_;
        try {
            TWndMethod method = method_; // survives a Release from inside the handler
            method(message);
        } catch (...) {
            HandleEscapedException(std::current_exception());
        }
        --dispatching_;
        if (released_ && dispatching_ == 0)
            deleteLater();
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kPostedMessageEvent)
            return QObject::event(e);
        Dispatch(static_cast<TPostedMessageEvent*>(e)->message);
        return true;
    }

private:
    TWndMethod method_;
    int dispatching_ = 0;
    bool released_ = false;
};

std::unordered_map<HWND, TNotifyWindow*>& Windows() {
    static std::unordered_map<HWND, TNotifyWindow*> windows;
    return windows;
}

HWND nextHandle = 1;
bool terminated = false;

TNotifyWindow* Find(HWND window) {
    auto it = Windows().find(window);
    return it == Windows().end() ? nullptr : it->second;
}

} // namespace

HWND AllocateHWnd(TWndMethod method) {
    const HWND handle = nextHandle++;
    Windows().emplace(handle, new TNotifyWindow(std::move(method)));
    return handle;
}

void DeallocateHWnd(HWND window) {
    auto it = Windows().find(window);
    if (it == Windows().end())
        return;
    TNotifyWindow* endpoint = it->second;
    Windows().erase(it);
    // Qt discards events still queued for an object when it is deleted.
    endpoint->Release();
}

bool IsWindow(HWND window) { return Find(window) != nullptr; }

bool PostMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    TNotifyWindow* endpoint = Find(window);
    if (!endpoint)
        return false;
    QCoreApplication::postEvent(endpoint, new TPostedMessageEvent(TMessage{msg, wParam, lParam, 0}));
    return true;
}

LRESULT SendMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    TNotifyWindow* endpoint = Find(window);
    if (!endpoint)
        return 0;
    TMessage message{msg, wParam, lParam, 0};
    endpoint->Dispatch(message);
    return message.Result;
}

void PostToMainThread(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
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
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Terminate() {
    terminated = true;
    QCoreApplication::quit();
}

bool Terminated() { return terminated; }

void ResetTerminated() { terminated = false; }

} // namespace Application

void SleepZero() { std::this_thread::yield(); }
