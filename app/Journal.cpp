#include "app/Journal.h"

#include <QRegularExpression>

TJournalFormats TJournalFormats::System() {
    return For(QLocale::system());
}

TJournalFormats TJournalFormats::For(const QLocale& locale) {
    TJournalFormats f;
    f.locale = locale;
    f.shortDate = locale.dateFormat(QLocale::ShortFormat);
    // Qt reads a two-digit year as 19xx, which would date a new entry a century back and
    // drop it at the next start.
    if (!f.shortDate.contains(QLatin1String("yyyy")))
        f.shortDate.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    f.longTime = locale.timeFormat(QLocale::LongFormat);
    f.longTime.remove(QRegularExpression(QStringLiteral("\\s*t+")));
    if (!f.longTime.contains(QLatin1Char('s'))) f.longTime = QStringLiteral("HH:mm:ss");
    f.longTime = f.longTime.trimmed();
    return f;
}

QString WeekdayName(const QDate& date) {
    static const char* const names[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                        "Friday", "Saturday", "Sunday"};
    const int day = date.dayOfWeek();
    return day >= 1 && day <= 7 ? QString::fromLatin1(names[day - 1]) : QString();
}

QStringList JournalDayChoices() {
    return {"Any", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
}

QDate JournalDayZero() {
    return QDate(1899, 12, 30);
}

QString FormatDateTimeEntry(const QDateTime& moment, const TJournalFormats& formats) {
    QString text = formats.locale.toString(moment.date(), formats.shortDate);
    const QTime time = moment.time();
    if (time.hour() != 0 || time.minute() != 0 || time.second() != 0 || time.msec() != 0)
        text += QLatin1Char(' ') + formats.locale.toString(time, formats.longTime);
    return text;
}

QString FormatTimeEntry(const QTime& time, const QString& day, const TJournalFormats& formats) {
    return formats.locale.toString(time, formats.longTime) + QLatin1Char(';') + day;
}

QString JournalHead(const QString& entry) {
    const qsizetype semicolon = entry.indexOf(QLatin1Char(';'));
    return semicolon < 0 ? entry : entry.left(semicolon);
}

QString JournalTail(const QString& entry) {
    const qsizetype semicolon = entry.indexOf(QLatin1Char(';'));
    return semicolon < 0 ? QString() : entry.mid(semicolon + 1);
}

std::optional<QDateTime> ReadJournalDateTime(const QString& text, const TJournalFormats& formats) {
    const QString trimmed = text.trimmed();
    const QDateTime both =
        formats.locale.toDateTime(trimmed, formats.shortDate + QLatin1Char(' ') + formats.longTime);
    if (both.isValid()) return both;
    const QDate date = formats.locale.toDate(trimmed, formats.shortDate);
    if (date.isValid()) return QDateTime(date, QTime(0, 0));
    const QTime time = formats.locale.toTime(trimmed, formats.longTime);
    if (time.isValid()) return QDateTime(JournalDayZero(), time);
    return std::nullopt;
}

TJournalEntryKind JournalEntryKind(const QString& entry, const TJournalFormats& formats) {
    const std::optional<QDateTime> head = ReadJournalDateTime(JournalHead(entry), formats);
    if (!head) return jekUnreadable;
    const QString written = formats.locale.toString(head->date(), formats.shortDate);
    const QString dayZero = formats.locale.toString(JournalDayZero(), formats.shortDate);
    return written != dayZero ? jekDateTime : jekTime;
}

bool KeepJournalEntryOnLoad(const QString& entry, const QDateTime& now,
                            const TJournalFormats& formats) {
    switch (JournalEntryKind(entry, formats)) {
    case jekDateTime:
        return now <= *ReadJournalDateTime(JournalHead(entry), formats);
    case jekTime:
        return true;
    case jekUnreadable:
        return false;
    }
    return false;
}

TJournalDue DueJournalEntry(const QStringList& entries, const QDateTime& now,
                            const TJournalFormats& formats) {
    for (int i = 0; i < entries.size(); ++i) {
        const QString& entry = entries[i];
        const std::optional<QDateTime> head = ReadJournalDateTime(JournalHead(entry), formats);
        switch (JournalEntryKind(entry, formats)) {
        case jekDateTime:
            if (now >= *head) return {i, true};
            break;
        case jekTime: {
            const QString tail = JournalTail(entry);
            if (tail != WeekdayName(now.date()) && tail != QLatin1String("Any")) break;
            const QTime at = head->time();
            const QTime clock = now.time();
            if (at.hour() == clock.hour() && at.minute() == clock.minute() &&
                at.second() == clock.second())
                return {i, false};
            break;
        }
        case jekUnreadable:
            break;
        }
    }
    return {};
}
