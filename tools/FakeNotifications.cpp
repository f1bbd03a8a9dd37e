#include "tools/FakeNotifications.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr int kStartMs = 5000;

// A session-type bus on one private socket; only the user who started it may connect.
QByteArray BusConfig(const QString& socket) {
    return QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                          "Configuration 1.0//EN\"\n"
                          " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                          "<busconfig>\n"
                          "  <type>session</type>\n"
                          "  <listen>unix:path=%1</listen>\n"
                          "  <auth>EXTERNAL</auth>\n"
                          "  <policy context=\"default\">\n"
                          "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                          "    <allow eavesdrop=\"true\"/>\n"
                          "    <allow own=\"*\"/>\n"
                          "  </policy>\n"
                          "</busconfig>\n")
        .arg(socket)
        .toUtf8();
}

int g_connections = 0;

} // namespace

TPrivateBus::TPrivateBus() = default;

TPrivateBus::~TPrivateBus() {
    Stop();
}

bool TPrivateBus::Start() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return false;
    }
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) || file.write(BusConfig(dir_.filePath("bus"))) < 0) {
        error_ = QStringLiteral("cannot write ") + config;
        return false;
    }
    file.close();
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                          QStringLiteral("--print-address=1")});
    daemon_.setProcessChannelMode(QProcess::SeparateChannels);
    daemon_.start();
    if (!daemon_.waitForStarted(kStartMs)) {
        error_ = QStringLiteral("dbus-daemon did not start: ") + daemon_.errorString();
        return false;
    }
    // The daemon prints its address once it listens.
    while (!daemon_.canReadLine()) {
        if (!daemon_.waitForReadyRead(kStartMs)) {
            error_ = QStringLiteral("dbus-daemon printed no address: ") +
                     QString::fromLocal8Bit(daemon_.readAllStandardError());
            Stop();
            return false;
        }
    }
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    return !address_.isEmpty();
}

void TPrivateBus::Stop() {
    if (daemon_.state() == QProcess::NotRunning) return;
    daemon_.terminate();
    if (!daemon_.waitForFinished(kStartMs)) {
        daemon_.kill();
        daemon_.waitForFinished(kStartMs);
    }
}

TFakeNotifications::TFakeNotifications(const QString& address, QStringList capabilities)
    : connectionName_(QStringLiteral("postlark-fake-notifications-%1").arg(++g_connections)),
      connection_(QDBusConnection::connectToBus(address, connectionName_)),
      capabilities_(std::move(capabilities)) {
    registered_ = connection_.isConnected() &&
                  connection_.registerObject(kPath, this, QDBusConnection::ExportAllSlots) &&
                  connection_.registerService(kService);
}

TFakeNotifications::~TFakeNotifications() {
    if (connection_.isConnected()) {
        connection_.unregisterService(kService);
        connection_.unregisterObject(kPath);
    }
    QDBusConnection::disconnectFromBus(connectionName_);
}

QStringList TFakeNotifications::GetCapabilities() {
    return capabilities_;
}

uint TFakeNotifications::Notify(const QString& app_name, uint replaces_id, const QString& app_icon,
                                const QString& summary, const QString& body,
                                const QStringList& actions, const QVariantMap& hints,
                                int expire_timeout) {
    const uint id = replaces_id != 0 ? replaces_id : nextId_++;
    shown_.push_back(
        {id, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout});
    return id;
}

void TFakeNotifications::CloseNotification(uint) {}

void TFakeNotifications::Click(uint id, const QString& action) {
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
    signal << id << action;
    connection_.send(signal);
}

QString TFakeNotifications::Log() const {
    QString log;
    for (const TShown& shown : shown_) {
        log += QStringLiteral("Notification %1 from %2 (icon %3)\n")
                   .arg(shown.Id)
                   .arg(shown.AppName, shown.AppIcon);
        log += QStringLiteral("Summary: ") + shown.Summary + QLatin1Char('\n');
        for (const QString& line : shown.Body.split(QLatin1Char('\n')))
            log += QStringLiteral("  ") + line + QLatin1Char('\n');
        QStringList hints;
        for (auto it = shown.Hints.cbegin(); it != shown.Hints.cend(); ++it)
            hints << it.key() + QLatin1Char('=') + it.value().toString();
        log += QStringLiteral("Actions: ") + shown.Actions.join(QLatin1Char(' ')) +
               QStringLiteral("; hints: ") + hints.join(QStringLiteral(", ")) + QLatin1Char('\n');
    }
    return log;
}
