#include "app/CoolTools.h"

#include "ui/ApplicationErrors.h"
#include "ui/QtText.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>

namespace {

// The mouse messages the icon's callback carries in lParam.
constexpr LPARAM kLeftButtonDown = 513;
constexpr LPARAM kLeftButtonUp = 514;
constexpr LPARAM kLeftButtonDoubleClick = 515;
constexpr LPARAM kRightButtonDown = 516;
constexpr LPARAM kRightButtonUp = 517;
constexpr LPARAM kRightButtonDoubleClick = 518;

} // namespace

TCustomImageList::~TCustomImageList() {
    Destroying();
    // Those who keep a reference to the list learn that it is gone.
    const std::vector<TChangeLink*> links = links_;
    links_.clear();
    for (TChangeLink* link : links)
        if (link->Owner) link->Owner->Notification(this, opRemove);
}

QIcon TCustomImageList::GetIcon(int index) const {
    if (index < 0 || index >= Count()) return {};
    return images_[static_cast<std::size_t>(index)];
}

int TCustomImageList::Add(const QIcon& icon) {
    images_.push_back(icon);
    Change();
    return Count() - 1;
}

void TCustomImageList::Clear() {
    images_.clear();
    Change();
}

void TCustomImageList::RegisterChanges(TChangeLink* link) {
    if (link && std::find(links_.begin(), links_.end(), link) == links_.end())
        links_.push_back(link);
}

void TCustomImageList::UnRegisterChanges(TChangeLink* link) {
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
}

void TCustomImageList::Change() {
    const std::vector<TChangeLink*> links = links_;
    for (TChangeLink* link : links)
        if (link->OnChange) link->OnChange();
}

void TIcon::Assign(const QIcon& icon) {
    icon_ = icon;
    if (OnChange) OnChange();
}

TCoolTrayIcon::TCoolTrayIcon(TComponent* owner) : TComponent(owner) {
    iconsChangeLink_ = std::make_unique<TChangeLink>(this);
    iconsChangeLink_->OnChange = [this] {
        UpdateTimer();
        UpdateIcon();
    };
    windowHandle_ = AllocateHWnd([this](TMessage& message) { WndProc(message); });
    icon_.OnChange = [this] {
        UpdateTimer();
        UpdateIcon();
    };
    animationTimer_ = std::make_unique<QTimer>();
    QObject::connect(animationTimer_.get(), &QTimer::timeout,
                     [this] { SendMessage(windowHandle_, WM_TIMER, kAnimationTimerId, 0); });
}

TCoolTrayIcon::~TCoolTrayIcon() {
    SetActive(false);
    Destroying();
    if (icons_) icons_->UnRegisterChanges(iconsChangeLink_.get());
    animationTimer_->stop();
    DeallocateHWnd(windowHandle_);
}

void TCoolTrayIcon::SetActive(bool value) {
    if (value == active_) return;
    active_ = value;
    UpdateTimer();
    UpdateIcon();
}

void TCoolTrayIcon::SetAnimated(bool value) {
    if (value == animated_) return;
    animated_ = value;
    UpdateTimer();
    UpdateIcon();
}

void TCoolTrayIcon::SetInterval(std::uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    UpdateTimer();
    UpdateIcon();
}

void TCoolTrayIcon::SetIcon(const QIcon& icon) {
    if (&icon == &icon_.Handle()) return;
    icon_.Assign(icon);
}

void TCoolTrayIcon::SetIcons(TCustomImageList* value) {
    if (icons_) icons_->UnRegisterChanges(iconsChangeLink_.get());
    icons_ = value;
    if (icons_) icons_->RegisterChanges(iconsChangeLink_.get());
    UpdateTimer();
    UpdateIcon();
}

void TCoolTrayIcon::SetToolTip(const std::string& value) {
    const std::string cut = value.substr(0, kMaxToolTip);
    if (cut == toolTip_) return;
    toolTip_ = cut;
    UpdateTimer();
    UpdateIcon();
}

void TCoolTrayIcon::Loaded() {
    UpdateTimer();
    UpdateIcon();
}

void TCoolTrayIcon::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component && component == icons_) {
        icons_ = nullptr;
        UpdateTimer();
    }
}

bool TCoolTrayIcon::AnimationTimerRunning() const {
    return animationTimer_->isActive();
}

void TCoolTrayIcon::UpdateTimer() {
    animationTimer_->stop();
    if (interval_ != 0 && active_ && animated_ && icons_) {
        animationTimer_->start(static_cast<int>(std::min<std::uint32_t>(interval_, INT32_MAX)));
        if (!animationTimer_->isActive()) throw EOutOfResources("Low resources");
    }
}

void TCoolTrayIcon::UpdateIcon() {
    if (active_ && (!icon_.Empty() || (animated_ && icons_))) {
        ShellNotifyIcon(nimAdd, false, icon_.Handle());
        ShellNotifyIcon(nimModify, false, icon_.Handle());
    } else {
        ShellNotifyIcon(nimDelete, false, icon_.Handle());
    }
}

void TCoolTrayIcon::ShowFrame(const QIcon& icon) {
    ShellNotifyIcon(nimModify, true, icon);
}

// The desktop's notification area as Qt offers it. An add of an icon already there and a
// modify or delete of one that is not change nothing, as the platform's service does.
void TCoolTrayIcon::ShellNotifyIcon(TNotifyOperation operation, bool iconOnly, const QIcon& icon) {
    switch (operation) {
    case nimAdd:
        if (shownInArea_) return;
        shownInArea_ = true;
        shownIcon_ = icon;
        shownToolTip_ = toolTip_;
        break;
    case nimModify:
        if (!shownInArea_) return;
        shownIcon_ = icon;
        if (!iconOnly) shownToolTip_ = toolTip_;
        break;
    case nimDelete:
        if (!shownInArea_) return;
        shownInArea_ = false;
        break;
    }
    CreatePlatformIcon();
    ShowPlatformIcon();
}

void TCoolTrayIcon::CreatePlatformIcon() {
    if (trayIcon_) return;
    trayIcon_ = std::make_unique<QSystemTrayIcon>();
    // Queued: Qt reports a click from inside the icon's own mouse handler, and the click's
    // handling may hide the icon, which on X11 deletes that very widget.
    QObject::connect(
        trayIcon_.get(), &QSystemTrayIcon::activated, trayIcon_.get(),
        [this](QSystemTrayIcon::ActivationReason reason) {
            PlatformActivated(static_cast<int>(reason));
        },
        Qt::QueuedConnection);
    QObject::connect(
        trayIcon_.get(), &QSystemTrayIcon::messageClicked, trayIcon_.get(),
        [this] {
            EndBalloon();
            if (OnBalloonClick) OnBalloonClick(this);
        },
        Qt::QueuedConnection);
}

void TCoolTrayIcon::ShowPlatformIcon() {
    if (balloonShown_ && !(shownInArea_ && !shownIcon_.isNull())) {
        // The icon the balloon points at, while the balloon is up.
        trayIcon_->setIcon(icon_.Empty() ? shownIcon_ : icon_.Handle());
        trayIcon_->setVisible(true);
        return;
    }
    trayIcon_->setIcon(shownIcon_);
    trayIcon_->setToolTip(ToQString(shownToolTip_));
    trayIcon_->setVisible(shownInArea_ && !shownIcon_.isNull());
}

bool TCoolTrayIcon::ShowBalloon(const QString& title, const QString& text, int msecs) {
    if (!NotificationAreaAvailable() || (icon_.Empty() && shownIcon_.isNull())) return false;
    CreatePlatformIcon();
    balloonShown_ = true;
    ShowPlatformIcon();
    trayIcon_->showMessage(title, text, QSystemTrayIcon::Information, msecs);
    if (!balloonTimer_) {
        balloonTimer_ = std::make_unique<QTimer>();
        balloonTimer_->setSingleShot(true);
        QObject::connect(balloonTimer_.get(), &QTimer::timeout, [this] { EndBalloon(); });
    }
    balloonTimer_->start(msecs);
    return true;
}

void TCoolTrayIcon::EndBalloon() {
    if (!balloonShown_) return;
    balloonShown_ = false;
    if (balloonTimer_) balloonTimer_->stop();
    ShowPlatformIcon();
}

// Qt reports finished clicks only; each becomes the button messages the icon's callback would
// have carried, so the component's own handling stays the same.
void TCoolTrayIcon::PlatformActivated(int reason) {
    auto send = [this](LPARAM mouseMessage) {
        SendMessage(windowHandle_, WM_TRAYNOTIFY, 0, mouseMessage);
    };
    switch (static_cast<QSystemTrayIcon::ActivationReason>(reason)) {
    case QSystemTrayIcon::Trigger:
        send(kLeftButtonDown);
        send(kLeftButtonUp);
        break;
    case QSystemTrayIcon::DoubleClick:
        send(kLeftButtonDoubleClick);
        break;
    case QSystemTrayIcon::Context:
        send(kRightButtonDown);
        send(kRightButtonUp);
        break;
    default:
        break;
    }
}

void TCoolTrayIcon::WndProc(TMessage& message) {
    // What a handler raises is shown by the program's error handler, as for every other event
    // handler, and never leaves the window procedure: the message still gets its answer.
    try {
        HandleMessage(message);
    } catch (...) {
        HandleEscapedException(std::current_exception());
    }
    message.Result = 0; // what the default window procedure answers to these messages
}

void TCoolTrayIcon::HandleMessage(const TMessage& message) {
    if (message.Msg == WM_TIMER && message.WParam == kAnimationTimerId) {
        if (icons_) {
            ShowFrame(icons_->GetIcon(frameIndex_));
            frameIndex_ = frameIndex_ < icons_->Count() - 1 ? frameIndex_ + 1 : 0;
        }
        return;
    }
    if (message.Msg != WM_TRAYNOTIFY) return;
    switch (message.LParam) {
    case kLeftButtonDown:
        MouseDown(mbLeft);
        break;
    case kLeftButtonUp:
        MouseUp(mbLeft);
        break;
    case kLeftButtonDoubleClick:
        DoubleClick(mbLeft);
        break;
    case kRightButtonDown:
        MouseDown(mbRight);
        break;
    case kRightButtonUp:
        MouseUp(mbRight);
        break;
    case kRightButtonDoubleClick:
        DoubleClick(mbRight);
        break;
    default:
        break;
    }
}

void TCoolTrayIcon::MouseDown(TMouseButton button) {
    const QPoint at = QCursor::pos();
    if (OnMouseDown) OnMouseDown(this, button, 0, at.x(), at.y());
}

void TCoolTrayIcon::MouseUp(TMouseButton button) {
    const QPoint at = QCursor::pos();
    if (popupMenu_) {
        if (ownerDrawMenu_)
            popupMenu_->exec(at);
        else
            popupMenu_->popup(at);
    }
    if (OnMouseUp) OnMouseUp(this, button, 0, at.x(), at.y());
}

void TCoolTrayIcon::DoubleClick(TMouseButton button) {
    const QPoint at = QCursor::pos();
    if (OnDoubleClick) OnDoubleClick(this, button, 0, at.x(), at.y());
}

bool TCoolTrayIcon::NotificationAreaAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}
