#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <vector>

class TCoolTrayIcon;
class TMailMessage;

// Tells the desktop once per check that new mail has come: a notification of the desktop's
// notification service (org.freedesktop.Notifications on the session bus), or the tray icon's
// balloon where no such service answers. Clicking it shows the main window.
class TNewMailNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int kListed = 3; // messages named in the text; the rest are counted

    // Sender and subject of one new message, as shown.
    struct TNewMail {
        QString From;
        QString Subject;
    };
    struct TText {
        QString Summary;
        QString Body;
    };

    explicit TNewMailNotifier(TCoolTrayIcon& trayIcon);

    bool Enabled() const noexcept { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }

    // A check starts: what an earlier check that never ended noted is forgotten.
    void BeginCheck();
    // A message of this check was added to the list (one dropped as already held never is).
    void MessageArrived(const TMailMessage& message);
    // The check is over: one notification when it brought anything and notifying is on.
    void CheckEnded();

    // The text for the new messages of one check: empty for none.
    static TText Text(int count, const std::vector<TNewMail>& listed);

    // The user clicked the notification or the balloon.
    std::function<void()> OnClicked;

private slots:
    void ActionInvoked(uint id, const QString& action);

private:
    void Notify(const TText& text);
    void SendNotification(const TText& text, bool markup);
    void ShowBalloon(const TText& text);

    TCoolTrayIcon& trayIcon_;
    bool enabled_ = true;
    int count_ = 0;
    std::vector<TNewMail> listed_;
    bool listening_ = false;
    QSet<uint> shownIds_; // notifications of ours the service may still report clicks on
};
