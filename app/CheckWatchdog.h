#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <string>

// Ends a mail check that has stopped moving. A check makes progress while the server answers
// and requests complete; a server that falls silent (no greeting, or no reply mid-session)
// would otherwise keep the window busy for good. After a failed request nothing more is sent,
// and the server has a short while to close the connection before it is dropped.
//
// One timer runs while a check is under way; progress only notes the time, so a report per
// received line costs no timer restart.
class TCheckWatchdog {
public:
    TCheckWatchdog();
    TCheckWatchdog(const TCheckWatchdog&) = delete;
    TCheckWatchdog& operator=(const TCheckWatchdog&) = delete;

    // How long a check may go without progress, and how long the server has to close the
    // connection after a failed request; tests shorten them.
    void SetLimits(int idleMs, int closeWaitMs);
    int IdleLimit() const noexcept { return idleMs_; }

    // A check has started: the idle limit counts from now.
    void Start();
    // The server said something or a request completed.
    void Progress();
    // The chain has stopped with the connection still open: the server must close it within
    // the close-wait limit, whatever it sends meanwhile.
    void AwaitClose();
    // The check is over.
    void Stop();
    bool Running() const noexcept { return phase_ != wdIdle; }

    // Work of the program's own inside a check (printing, forwarding a message) is not the
    // server's silence: time spent while held does not count.
    void Hold();
    void Release();
    struct THold {
        explicit THold(TCheckWatchdog& watchdog) : watchdog_(watchdog) { watchdog_.Hold(); }
        ~THold() { watchdog_.Release(); }
        THold(const THold&) = delete;
        THold& operator=(const THold&) = delete;

    private:
        TCheckWatchdog& watchdog_;
    };

    // Fired once when a limit has run out, with the reason for the log; the watchdog has
    // stopped by then. The owner aborts the session.
    std::function<void(const std::string& reason)> OnExpired;

private:
    enum TPhase { wdIdle, wdWatching, wdAwaitingClose };
    void Arm(int ms);
    void Check();
    int Remaining() const;

    QTimer timer_;
    QElapsedTimer sinceProgress_;
    TPhase phase_ = wdIdle;
    int holds_ = 0;
    int idleMs_ = 60000;
    int closeWaitMs_ = 10000;
};
