#include "ui/EventLoop.h"
#include "ui/TickCount.h"

#include "tests/support/EventLoopFixture.h"

#include <QTimer>

namespace {

using BlockingWait = EventLoopTest;

Application::TWaitDeadline In(std::uint32_t ms) {
    return {true, GetTickCount() + ms};
}

TEST_F(BlockingWait, EndsWhenAPostedMessageOrAPlatformEventMakesItDone) {
    bool done = false;
    HWND endpoint = AllocateHWnd([&](TMessage&) { done = true; });
    PostMessage(endpoint, WM_USER, 0, 0);
    EXPECT_EQ(Application::WaitUntil([&] { return done; }, In(5000)),
              Application::TWaitResult::Done);
    DeallocateHWnd(endpoint);

    done = false;
    QTimer::singleShot(30, [&] { done = true; });
    const std::uint32_t start = GetTickCount();
    EXPECT_EQ(Application::WaitUntil([&] { return done; }, In(5000)),
              Application::TWaitResult::Done);
    EXPECT_LT(TicksElapsed(start, GetTickCount()), 2000u);
}

TEST_F(BlockingWait, ASilentWaitSleepsUntilItsDeadlineWithoutSpinning) {
    const std::uint32_t start = GetTickCount();
    const double cpuBefore = ProcessCpuSeconds();
    EXPECT_EQ(Application::WaitUntil([] { return false; }, In(1000)),
              Application::TWaitResult::TimedOut);
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    const std::uint32_t elapsed = TicksElapsed(start, GetTickCount());
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 1500u);
    // Under 2 % of a core over the wait.
    EXPECT_LT(cpu, 0.02 * elapsed / 1000.0) << cpu << " s of CPU in " << elapsed << " ms";
}

TEST_F(BlockingWait, FollowsADeadlineMovedWhileItWaits) {
    Application::TWaitDeadline deadline = In(100);
    QTimer::singleShot(50, [&] { deadline.Tick = GetTickCount() + 300; });
    const std::uint32_t start = GetTickCount();
    EXPECT_EQ(Application::WaitUntil([] { return false; }, deadline),
              Application::TWaitResult::TimedOut);
    EXPECT_GE(TicksElapsed(start, GetTickCount()), 340u);
}

TEST_F(BlockingWait, EndsWhenTheApplicationIsAskedToQuitEvenWithoutALimit) {
    QTimer::singleShot(30, [] { Application::Terminate(); });
    EXPECT_EQ(Application::WaitUntil([] { return false; }, {false, 0}),
              Application::TWaitResult::Terminated);
    EXPECT_EQ(Application::WaitUntil([] { return true; }, {false, 0}),
              Application::TWaitResult::Done);
    Application::ResetTerminated();
}

} // namespace
