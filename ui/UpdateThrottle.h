#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Runs an update at most once per period however often it is asked for: a request in a quiet
// spell runs it at once, a request within the period after the last run runs it once at the
// end of that period. A burst of changes (a mailbox of thousands of messages arriving) thus
// costs a few repaints a second instead of one per change, and a lone change shows at once.
class TUpdateThrottle {
public:
    TUpdateThrottle(int periodMs, std::function<void()> update);
    void Request();
    // Runs a requested update now, for readers that need the shown state to be complete.
    void Flush();
    // Forgets a requested update (what it would have shown is gone).
    void Cancel() noexcept;
    bool Pending() const noexcept { return pending_; }

private:
    void Run();

    int period_;
    std::function<void()> update_;
    QTimer timer_;
    QElapsedTimer lastRun_;
    bool pending_ = false;
};
