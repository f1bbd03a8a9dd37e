#include "ui/EventLoop.h"
#include "ui/TickCount.h"

#include "tests/support/EventLoopFixture.h"

#include <vector>

namespace {

using PostedMessages = EventLoopTest;

TEST_F(PostedMessages, ArriveInPostingOrderAcrossEndpointsAndNotBeforeTheLoopRuns) {
    std::vector<int> seen;
    HWND a = AllocateHWnd([&](TMessage& m) { seen.push_back(static_cast<int>(m.WParam)); });
    HWND b = AllocateHWnd([&](TMessage& m) { seen.push_back(100 + static_cast<int>(m.WParam)); });
    PostMessage(a, WM_USER + 1, 1, 0);
    PostMessage(b, WM_USER + 1, 2, 0);
    PostMessage(a, WM_USER + 1, 3, 0);
    EXPECT_TRUE(seen.empty());
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 102, 3}));
    DeallocateHWnd(a);
    DeallocateHWnd(b);
}

TEST_F(PostedMessages, ToAReleasedEndpointAreDroppedAndHandlesAreNotReused) {
    int calls = 0;
    HWND a = AllocateHWnd([&](TMessage&) { ++calls; });
    EXPECT_TRUE(PostMessage(a, WM_USER, 0, 0));
    DeallocateHWnd(a);
    EXPECT_FALSE(IsWindow(a));
    EXPECT_FALSE(PostMessage(a, WM_USER, 0, 0));
    HWND b = AllocateHWnd([&](TMessage&) {});
    EXPECT_NE(a, b);
    PumpFor(20);
    EXPECT_EQ(calls, 0);
    DeallocateHWnd(b);
}

TEST_F(PostedMessages, AnEndpointMayReleaseItselfInsideItsHandler) {
    HWND self = 0;
    int calls = 0;
    self = AllocateHWnd([&](TMessage&) {
        ++calls;
        DeallocateHWnd(self);
    });
    PostMessage(self, WM_USER, 0, 0);
    PostMessage(self, WM_USER, 0, 0);
    PumpFor(20);
    EXPECT_EQ(calls, 1);
}

TEST_F(PostedMessages, SendMessageRunsAtOnceAndReturnsTheResult) {
    HWND a = AllocateHWnd([](TMessage& m) { m.Result = static_cast<LRESULT>(m.WParam * 2); });
    EXPECT_EQ(SendMessage(a, WM_USER, 21, 0), 42);
    DeallocateHWnd(a);
    EXPECT_EQ(SendMessage(a, WM_USER, 21, 0), 0);
}

TEST(TickCount, ComparesDeadlinesAcrossTheWrap) {
    EXPECT_TRUE(TickReached(0x00000005u, 0xFFFFFFF0u));
    EXPECT_FALSE(TickReached(0xFFFFFFF0u, 0x00000005u));
    EXPECT_EQ(TicksElapsed(0xFFFFFFF0u, 0x00000010u), 0x20u);
    EXPECT_TRUE(TickReached(100, 100));
}

} // namespace
