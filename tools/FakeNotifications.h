#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <vector>

// A message bus of its own: a dbus-daemon on a socket in a private folder, with a
// configuration that lets its one user do anything. For tests and tools that must not reach
// the desktop's session bus.
class TPrivateBus {
public:
    TPrivateBus();
    ~TPrivateBus();
    TPrivateBus(const TPrivateBus&) = delete;
    TPrivateBus& operator=(const TPrivateBus&) = delete;

    // Starts the daemon; false (with Error()) when it does not come up within a few seconds.
    bool Start();
    void Stop();
    // The address clients connect to ("unix:path=...,guid=..."), empty until started.
    const QString& Address() const noexcept { return address_; }
    const QString& Error() const noexcept { return error_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QString error_;
};

// A notification service (org.freedesktop.Notifications) that records what it is asked to
// show and can report a click on a notification.
class TFakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct TShown {
        uint Id = 0;
        QString AppName;
        uint ReplacesId = 0;
        QString AppIcon;
        QString Summary;
        QString Body;
        QStringList Actions;
        QVariantMap Hints;
        int ExpireTimeout = 0;
    };

    // Takes the service's name on the bus at address, over a connection of its own.
    explicit TFakeNotifications(const QString& address,
                                QStringList capabilities = {QStringLiteral("actions"),
                                                            QStringLiteral("body")});
    ~TFakeNotifications() override;
    bool Registered() const noexcept { return registered_; }

    const std::vector<TShown>& Shown() const noexcept { return shown_; }
    // The notifications as text, one block per notification, for logs and screenshots.
    QString Log() const;
    // The user clicks notification id.
    void Click(uint id, const QString& action = QStringLiteral("default"));

public slots:
    QStringList GetCapabilities();
    uint Notify(const QString& app_name, uint replaces_id, const QString& app_icon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expire_timeout);
    void CloseNotification(uint id);

private:
    QString connectionName_;
    QDBusConnection connection_;
    QStringList capabilities_;
    bool registered_ = false;
    std::vector<TShown> shown_;
    uint nextId_ = 1;
};
