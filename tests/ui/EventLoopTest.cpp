#include "ui/EventLoop.h"
#include "ui/TickCount.h"

#include "tests/support/EventLoopFixture.h"

#include <QEventLoop>
#include <QTimer>

#include <stdexcept>
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

TEST_F(PostedMessages, PostedFromAHandlerComeAfterItReturnsAndNestedWaitsSeeThem) {
    std::vector<std::string> seen;
    HWND a = 0;
    a = AllocateHWnd([&](TMessage& m) {
        switch (m.WParam) {
        case 1:
            PostMessage(a, WM_USER, 2, 0);
            seen.push_back("1 returns");
            break;
        case 6: // one pass of processing delivers what this handler posted
            PostMessage(a, WM_USER, 7, 0);
            Application::ProcessMessages();
            seen.push_back("6 returns");
            break;
        default:
            seen.push_back(std::to_string(m.WParam));
        }
    });
    PostMessage(a, WM_USER, 1, 0);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"1 returns", "2"}));

    seen.clear();
    PostMessage(a, WM_USER, 6, 0);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"7", "6 returns"}));
    DeallocateHWnd(a);
}

TEST_F(PostedMessages, ANestedQtLoopInsideAHandlerDeliversWhatItPosted) {
    std::vector<int> seen;
    HWND a = 0;
    a = AllocateHWnd([&](TMessage& m) {
        seen.push_back(static_cast<int>(m.WParam));
        if (m.WParam != 1) return;
        PostMessage(a, WM_USER, 2, 0);
        QEventLoop nested; // as a modal dialog runs one
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (seen.size() > 1) nested.quit();
        });
        poll.start(1);
        QTimer::singleShot(2000, &nested, &QEventLoop::quit);
        nested.exec();
        seen.push_back(3);
    });
    PostMessage(a, WM_USER, 1, 0);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    DeallocateHWnd(a);
}

TEST_F(PostedMessages, AHandlerThatKeepsPostingDoesNotStarveTimers) {
    bool timerFired = false;
    int deliveries = 0;
    HWND a = 0;
    a = AllocateHWnd([&](TMessage&) {
        ++deliveries;
        if (!timerFired) PostMessage(a, WM_USER, 0, 0);
    });
    QTimer::singleShot(0, [&] { timerFired = true; });
    PostMessage(a, WM_USER, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return timerFired; }, 2000));
    PumpFor(10);
    EXPECT_GT(deliveries, 0);
    DeallocateHWnd(a);
}

// Readiness callbacks: what they post is delivered as they return, even when they throw; inside
// a delivery pass the messages wait for that pass, behind what was queued before.
TEST_F(PostedMessages, WhatAReadinessCallbackPostsIsDeliveredWhenItReturns) {
    std::vector<int> seen;
    HWND a = AllocateHWnd([&](TMessage& m) {
        seen.push_back(static_cast<int>(m.WParam));
        if (m.WParam == 10) {
            PostMessage(a, WM_USER, 11, 0);
            RunThenDeliver([&] { PostMessage(a, WM_USER, 12, 0); });
            seen.push_back(-1); // the callback's message is not delivered inside this handler
        }
    });
    RunThenDeliver([&] {
        PostMessage(a, WM_USER, 1, 0);
        PostMessage(a, WM_USER, 2, 0);
    });
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));

    EXPECT_THROW(RunThenDeliver([&] {
                     PostMessage(a, WM_USER, 3, 0);
                     throw std::runtime_error("callback failed");
                 }),
                 std::runtime_error);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
    RunThenDeliver([&] { PostMessage(a, WM_USER, 10, 0); });
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 10, -1, 11, 12}));
    DeallocateHWnd(a);
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
