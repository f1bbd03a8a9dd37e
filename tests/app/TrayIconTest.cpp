#include "app/CoolTools.h"
#include "ui/ApplicationErrors.h"

#include "tests/support/EventLoopFixture.h"

#include <QPixmap>

namespace {

QIcon Solid(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

class TrayIcon : public WidgetTest {
protected:
    TCoolTrayIcon tray;
};

TEST_F(TrayIcon, ToolTipIsCutTo63Characters) {
    tray.SetIcon(Solid(Qt::red));
    tray.SetActive(true);
    tray.SetToolTip(std::string(70, 't'));
    EXPECT_EQ(tray.ToolTip(), std::string(63, 't'));
    EXPECT_EQ(tray.ShownToolTip(), std::string(63, 't'));
    tray.SetToolTip(std::string(63, 't') + "other tail");
    EXPECT_EQ(tray.ToolTip(), std::string(63, 't'));
}

TEST_F(TrayIcon, ActiveWithNothingToShowRemovesTheIcon) {
    tray.SetActive(true);
    EXPECT_FALSE(tray.IconShown());
    tray.SetIcon(Solid(Qt::red));
    EXPECT_TRUE(tray.IconShown());
    tray.SetActive(false);
    EXPECT_FALSE(tray.IconShown());
}

TEST_F(TrayIcon, AnimationCyclesThroughTheImagesAndStopsAtIntervalZero) {
    TImageList frames;
    const QIcon images[] = {Solid(Qt::red), Solid(Qt::green), Solid(Qt::blue)};
    for (const QIcon& icon : images)
        frames.Add(icon);
    const QIcon still = Solid(Qt::black);
    tray.SetIcon(still);
    tray.SetIcons(&frames);
    tray.SetAnimated(true);
    EXPECT_FALSE(tray.AnimationTimerRunning()) << "runs only while active";
    tray.SetActive(true);
    EXPECT_TRUE(tray.AnimationTimerRunning());
    std::vector<int> shown;
    for (int i = 0; i < 4; ++i) {
        const int before = tray.FrameIndex();
        ASSERT_TRUE(PumpUntil([&] { return tray.FrameIndex() != before; }, 2000));
        shown.push_back(before);
        EXPECT_EQ(tray.ShownIcon().cacheKey(), images[before].cacheKey());
    }
    EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 0}));
    tray.SetInterval(0);
    EXPECT_FALSE(tray.AnimationTimerRunning());
    EXPECT_EQ(tray.ShownIcon().cacheKey(), still.cacheKey());
}

TEST_F(TrayIcon, DestroyedImageListIsForgotten) {
    {
        TImageList frames;
        frames.Add(Solid(Qt::red));
        tray.SetIcons(&frames);
        tray.SetAnimated(true);
        tray.SetActive(true);
        EXPECT_TRUE(tray.AnimationTimerRunning());
    }
    EXPECT_EQ(tray.Icons(), nullptr);
    EXPECT_FALSE(tray.AnimationTimerRunning());
}

TEST_F(TrayIcon, CallbackMessagesBecomeMouseEvents) {
    std::vector<std::string> events;
    auto record = [&events](const char* what) {
        return [&events, what](TObject* sender, TMouseButton button, TShiftState shift, int, int) {
            EXPECT_NE(sender, nullptr);
            EXPECT_EQ(shift, 0u);
            events.push_back(std::string(what) + (button == mbLeft ? " left" : " right"));
        };
    };
    tray.OnMouseDown = record("down");
    tray.OnMouseUp = record("up");
    tray.OnDoubleClick = record("double");
    for (LPARAM mouse : {513, 514, 515, 516, 517, 518, 512, 519})
        SendMessage(tray.WindowHandle(), TCoolTrayIcon::WM_TRAYNOTIFY, 0, mouse);
    SendMessage(tray.WindowHandle(), TCoolTrayIcon::WM_TRAYNOTIFY + 1, 0, 513);
    EXPECT_EQ(events, (std::vector<std::string>{"down left", "up left", "double left", "down right",
                                                "up right", "double right"}));
}

// Lets a test hand messages to the window procedure as the platform would.
class TestTrayIcon : public TCoolTrayIcon {
public:
    using TCoolTrayIcon::WndProc;
};

TEST_F(TrayIcon, WhatAHandlerRaisesGoesToTheErrorHandlerAndTheMessageIsAnswered) {
    TestTrayIcon icon;
    std::vector<std::string> shown;
    SetEscapedExceptionHandler([&shown](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown.push_back(e.what());
        }
    });
    icon.OnMouseUp = [](TObject*, TMouseButton, TShiftState, int, int) {
        throw Exception("no window to show");
    };
    TMessage message{TCoolTrayIcon::WM_TRAYNOTIFY, 0, 514, 99};
    EXPECT_NO_THROW(icon.WndProc(message));
    EXPECT_EQ(message.Result, 0);
    SetEscapedExceptionHandler(nullptr);
    EXPECT_EQ(shown, std::vector<std::string>{"no window to show"});
}

} // namespace
