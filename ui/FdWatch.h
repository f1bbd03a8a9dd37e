#pragma once

#include <functional>
#include <memory>

// Watches one file descriptor for readability or writability from the event loop and calls
// onReady while the condition holds and the watch is enabled (level-triggered).
class TFdWatch {
public:
    enum TKind { fwRead, fwWrite };

    TFdWatch(int fd, TKind kind, std::function<void()> onReady);
    ~TFdWatch();
    TFdWatch(const TFdWatch&) = delete;
    TFdWatch& operator=(const TFdWatch&) = delete;

    void SetEnabled(bool enabled);
    bool Enabled() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
