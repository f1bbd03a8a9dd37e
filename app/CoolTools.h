#pragma once

#include "ui/Component.h"
#include "ui/EventLoop.h"
#include "ui/Exceptions.h"

#include <QIcon>
#include <QMenu>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSystemTrayIcon;
class QTimer;

POSTLARK_DECLARE_EXCEPTION(EOutOfResources, Exception);

enum TMouseButton { mbLeft, mbRight, mbMiddle };
using TShiftState = unsigned; // a set of modifier flags; the tray icon always reports it empty
using TMouseEvent =
    std::function<void(TObject* sender, TMouseButton button, TShiftState shift, int x, int y)>;

class TCustomImageList;

// Registered with an image list to hear of its changes.
class TChangeLink {
public:
    explicit TChangeLink(TComponent* owner) : Owner(owner) {}
    TComponent* Owner;
    std::function<void()> OnChange;
};

// A list of same-sized images, here the frames of the tray icon's animation.
class TCustomImageList : public TComponent {
public:
    explicit TCustomImageList(TComponent* owner = nullptr) : TComponent(owner) {}
    ~TCustomImageList() override;

    int Count() const noexcept { return static_cast<int>(images_.size()); }
    QIcon GetIcon(int index) const;
    int Add(const QIcon& icon);
    void Clear();
    void RegisterChanges(TChangeLink* link);
    void UnRegisterChanges(TChangeLink* link);

private:
    void Change();

    std::vector<QIcon> images_;
    std::vector<TChangeLink*> links_;
};
using TImageList = TCustomImageList;

// The still icon the tray icon owns; assigning copies and tells the owner.
class TIcon {
public:
    bool Empty() const { return icon_.isNull(); }
    const QIcon& Handle() const noexcept { return icon_; }
    void Assign(const QIcon& icon);
    std::function<void()> OnChange;

private:
    QIcon icon_;
};

// One icon in the desktop's notification area, with a tool tip, an optional animation through
// an image list, an optional popup menu and mouse events.
class TCoolTrayIcon : public TComponent {
public:
    // The icon's callback message: the user message base + 410.
    static constexpr std::uint32_t WM_TRAYNOTIFY = WM_USER + 410;
    static constexpr std::uint32_t WM_TIMER = 275;
    static constexpr WPARAM kAnimationTimerId = 1;
    static constexpr std::size_t kMaxToolTip = 63;

    explicit TCoolTrayIcon(TComponent* owner = nullptr);
    ~TCoolTrayIcon() override;

    bool Active() const noexcept { return active_; }
    void SetActive(bool value);
    bool Animated() const noexcept { return animated_; }
    void SetAnimated(bool value);
    const QIcon& Icon() const noexcept { return icon_.Handle(); }
    void SetIcon(const QIcon& icon);
    TCustomImageList* Icons() const noexcept { return icons_; }
    void SetIcons(TCustomImageList* value);
    std::uint32_t Interval() const noexcept { return interval_; }
    void SetInterval(std::uint32_t value);
    bool OwnerDrawMenu() const noexcept { return ownerDrawMenu_; }
    void SetOwnerDrawMenu(bool value) { ownerDrawMenu_ = value; }
    QMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(QMenu* value) { popupMenu_ = value; }
    const std::string& ToolTip() const noexcept { return toolTip_; }
    void SetToolTip(const std::string& value);

    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TMouseEvent OnDoubleClick;
    // The balloon of ShowBalloon was clicked.
    std::function<void(TObject* sender)> OnBalloonClick;

    // Run once the component's stored properties have been set.
    void Loaded();
    void Notification(TComponent* component, TOperation operation) override;

    HWND WindowHandle() const noexcept { return windowHandle_; }
    int FrameIndex() const noexcept { return frameIndex_; }
    bool AnimationTimerRunning() const;

    // What the notification area holds: whether the icon is there, its tool tip and picture.
    bool IconShown() const noexcept { return shownInArea_; }
    const std::string& ShownToolTip() const noexcept { return shownToolTip_; }
    const QIcon& ShownIcon() const noexcept { return shownIcon_; }
    // Whether the desktop has a notification area at all.
    static bool NotificationAreaAvailable();
    // A balloon beside the icon for msecs milliseconds. The icon stays in the area meanwhile,
    // also when it is not active, since the balloon points at it. False without a
    // notification area or an icon to show.
    bool ShowBalloon(const QString& title, const QString& text, int msecs);
    bool BalloonShown() const noexcept { return balloonShown_; }

protected:
    virtual void WndProc(TMessage& message);
    virtual void MouseDown(TMouseButton button);
    virtual void MouseUp(TMouseButton button);
    virtual void DoubleClick(TMouseButton button);

private:
    enum TNotifyOperation { nimAdd = 0, nimModify = 1, nimDelete = 2 };

    void HandleMessage(const TMessage& message);
    void UpdateTimer();
    void UpdateIcon();
    void ShowFrame(const QIcon& icon);
    void ShellNotifyIcon(TNotifyOperation operation, bool iconOnly, const QIcon& icon);
    void PlatformActivated(int reason);
    void CreatePlatformIcon();
    void ShowPlatformIcon();
    void EndBalloon();

    bool active_ = false;
    bool animated_ = false;
    TIcon icon_;
    TCustomImageList* icons_ = nullptr;
    std::uint32_t interval_ = 200;
    bool ownerDrawMenu_ = false;
    QPointer<QMenu> popupMenu_;
    std::string toolTip_;
    int frameIndex_ = 0;

    std::unique_ptr<TChangeLink> iconsChangeLink_;
    HWND windowHandle_ = 0;
    std::unique_ptr<QTimer> animationTimer_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    bool shownInArea_ = false;
    std::string shownToolTip_;
    QIcon shownIcon_;
    bool balloonShown_ = false;
    std::unique_ptr<QTimer> balloonTimer_;
};
