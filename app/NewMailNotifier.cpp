#include "app/NewMailNotifier.h"

#include "app/CoolTools.h"
#include "app/MessageText.h"
#include "app/UnitMessage.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kBalloonMs = 10000;
// A service keeps only so many ids of ours worth remembering.
constexpr int kKeptIds = 64;

// "Ada Lovelace <ada@example.org>" names the sender as Ada Lovelace; a bare address is its
// own name.
QString SenderName(const QString& from) {
    const qsizetype angle = from.indexOf(QLatin1Char('<'));
    QString name = (angle > 0 ? from.left(angle) : from).trimmed();
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"')))
        name = name.mid(1, name.size() - 2).trimmed();
    return name.isEmpty() ? from.trimmed() : name;
}

// Calls a method of the notification service; done gets the reply, or an error reply.
void CallService(QObject* owner, const QDBusMessage& call,
                 std::function<void(const QDBusMessage&)> done) {
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner,
                     [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         done(finished->reply());
                     });
}

} // namespace

TNewMailNotifier::TNewMailNotifier(TCoolTrayIcon& trayIcon) : trayIcon_(trayIcon) {
    trayIcon_.OnBalloonClick = [this](TObject*) {
        if (OnClicked) OnClicked();
    };
}

void TNewMailNotifier::BeginCheck() {
    count_ = 0;
    listed_.clear();
}

void TNewMailNotifier::MessageArrived(const TMailMessage& message) {
    ++count_;
    // Decoded now: the message may be deleted from the list before the check ends.
    if (static_cast<int>(listed_.size()) < kListed)
        listed_.push_back({HeaderText(message.From), HeaderText(message.Subject)});
}

void TNewMailNotifier::CheckEnded() {
    const TText text = Text(count_, listed_);
    BeginCheck();
    if (enabled_ && !text.Summary.isEmpty()) Notify(text);
}

TNewMailNotifier::TText TNewMailNotifier::Text(int count, const std::vector<TNewMail>& listed) {
    TText text;
    if (count <= 0) return text;
    text.Summary =
        count == 1 ? QStringLiteral("1 new message") : QStringLiteral("%1 new messages").arg(count);
    QStringList lines;
    for (const TNewMail& mail : listed) {
        if (lines.size() == kListed) break;
        const QString subject = mail.Subject.trimmed();
        lines << SenderName(mail.From) + QStringLiteral(": ") +
                     (subject.isEmpty() ? QStringLiteral("(no subject)") : subject);
    }
    if (count > lines.size()) lines << QStringLiteral("and %1 more").arg(count - lines.size());
    text.Body = lines.join(QLatin1Char('\n'));
    return text;
}

void TNewMailNotifier::Notify(const TText& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        ShowBalloon(text);
        return;
    }
    if (!listening_)
        listening_ = bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                                 SLOT(ActionInvoked(uint, QString)));
    // A service that reads markup in the body would swallow "<" and "&" of a subject: they are
    // escaped only for such a service. No answer at all means there is no service.
    CallService(this,
                QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                               QStringLiteral("GetCapabilities")),
                [this, text](const QDBusMessage& reply) {
                    if (reply.type() != QDBusMessage::ReplyMessage) {
                        ShowBalloon(text);
                        return;
                    }
                    const QStringList caps = reply.arguments().value(0).toStringList();
                    SendNotification(text, caps.contains(QStringLiteral("body-markup")));
                });
}

void TNewMailNotifier::SendNotification(const TText& text, bool markup) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), QStringLiteral("email.arrived"));
    // The installed desktop entry, without ".desktop": lets the desktop group and badge ours.
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.example.postlark"));
    call << QStringLiteral("Postlark") << uint(0) << QStringLiteral("postlark") << text.Summary
         << (markup ? text.Body.toHtmlEscaped() : text.Body)
         << QStringList{QStringLiteral("default"), QStringLiteral("Show")} << hints << int(-1);
    CallService(this, call, [this, text](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) {
            ShowBalloon(text);
            return;
        }
        if (shownIds_.size() >= kKeptIds) shownIds_.clear();
        shownIds_.insert(reply.arguments().value(0).toUInt());
    });
}

void TNewMailNotifier::ActionInvoked(uint id, const QString& action) {
    if (!shownIds_.contains(id) || action != QLatin1String("default")) return;
    shownIds_.remove(id);
    if (OnClicked) OnClicked();
}

void TNewMailNotifier::ShowBalloon(const TText& text) {
    trayIcon_.ShowBalloon(text.Summary, text.Body, kBalloonMs);
}
