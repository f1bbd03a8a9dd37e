#pragma once

#include <cstdint>
#include <functional>

// Event-loop services of the platform: notification endpoints ("hidden windows") that receive
// posted messages, one pass of message processing, the terminating flag and cross-thread
// hand-off. Everything here except PostToMainThread must be called on the UI thread.

using HWND = std::uintptr_t; // endpoint handle; 0 is "no endpoint"; handles are never reused
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr std::uint32_t WM_USER = 1024;

struct TMessage {
    std::uint32_t Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

using TWndMethod = std::function<void(TMessage&)>;

// Creates an endpoint whose messages are handed to method, in posting order.
HWND AllocateHWnd(TWndMethod method);
// Destroys the endpoint. Messages still queued for it are dropped, never delivered.
void DeallocateHWnd(HWND window);
// True while the endpoint exists.
bool IsWindow(HWND window);

// Queues a message for the endpoint; false when the endpoint does not exist (nothing queued).
bool PostMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
// Hands a message to the endpoint's method at once and returns its Result (0 when no endpoint).
LRESULT SendMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

// Packs two 16-bit halves into an LPARAM, low first (the platform's MAKELONG).
constexpr LPARAM MakeLong(std::uint16_t low, std::uint16_t high) {
    return static_cast<LPARAM>(static_cast<std::uint32_t>(low) |
                               (static_cast<std::uint32_t>(high) << 16));
}
constexpr std::uint16_t LoWord(LPARAM value) {
    return static_cast<std::uint16_t>(value & 0xFFFF);
}
constexpr std::uint16_t HiWord(LPARAM value) {
    return static_cast<std::uint16_t>((value >> 16) & 0xFFFF);
}

// Runs work, a readiness callback that posts messages, and then delivers what it posted in
// the same pass, rather than waking the loop for a pass of its own. Inside a delivery pass it
// only runs work: that pass delivers the messages.
void RunThenDeliver(const std::function<void()>& work);

// Runs fn on the UI thread from the event loop. Safe to call from any thread; dropped when
// the application object is gone.
void PostToMainThread(std::function<void()> fn);

namespace Application {
// One pass of message processing: handles what is pending now, then returns.
void ProcessMessages();
// Asks the application to quit and sets the terminating flag.
void Terminate();
// True once the application has been asked to quit.
bool Terminated();
// Clears the flag; for tests that run several sessions in one process.
void ResetTerminated();

// How a blocking wait ended.
enum class TWaitResult { Done, TimedOut, Terminated };

// The moment a wait gives up, as a tick count (ui/TickCount.h). The waiting code may move it
// while it waits (a transfer that makes progress restarts its limit); the wait reads it afresh
// on every pass.
struct TWaitDeadline {
    bool Limited = true;
    std::uint32_t Tick = 0;
};

// The one blocking wait of every synchronous call. Delivers our own posted messages, then lets
// the platform sleep until its next event or the deadline, and checks done() after every pass.
// Done as soon as done() holds, TimedOut once the deadline has passed, Terminated when the
// application has been asked to quit. It never spins: a wait on a silent peer sleeps.
TWaitResult WaitUntil(const std::function<bool()>& done, const TWaitDeadline& deadline);
} // namespace Application

// A zero-length sleep: gives up the rest of the time slice, as the waiting loops do per pass.
void SleepZero();
