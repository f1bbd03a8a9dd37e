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

namespace {

const QString kStoredMoment = QStringLiteral("yyyy-MM-dd HH:mm:ss");
const QString kStoredTime = QStringLiteral("HH:mm:ss");

} // namespace

TJournalEntry ParseJournalEntry(const QString& entry, const TJournalFormats& formats) {
    TJournalEntry parsed;
    parsed.text = entry;
    const std::optional<QDateTime> head = ReadJournalDateTime(JournalHead(entry), formats);
    if (!head) return parsed;
    parsed.moment = *head;
    parsed.hasDay = entry.contains(QLatin1Char(';'));
    parsed.day = JournalTail(entry);
    // Told apart as the list shows them: a date that reads as day 0 is a time of day.
    const QString written = formats.locale.toString(head->date(), formats.shortDate);
    const QString dayZero = formats.locale.toString(JournalDayZero(), formats.shortDate);
    parsed.kind = written != dayZero ? jekDateTime : jekTime;
    return parsed;
}

TJournalEntryKind JournalEntryKind(const QString& entry, const TJournalFormats& formats) {
    return ParseJournalEntry(entry, formats).kind;
}

QString StoredJournalEntry(const TJournalEntry& entry) {
    const QLocale c = QLocale::c();
    switch (entry.kind) {
    case jekDateTime:
        return c.toString(entry.moment, kStoredMoment);
    case jekTime: {
        QString text = c.toString(entry.moment.time(), kStoredTime);
        if (entry.hasDay) text += QLatin1Char(';') + entry.day;
        return text;
    }
    case jekUnreadable:
        break;
    }
    return entry.text;
}

TJournalEntry ReadStoredJournalEntry(const QString& stored, const TJournalFormats& formats) {
    const QLocale c = QLocale::c();
    const QString head = JournalHead(stored).trimmed();
    TJournalEntry entry;
    entry.hasDay = stored.contains(QLatin1Char(';'));
    entry.day = JournalTail(stored);
    const QDateTime moment = entry.hasDay ? QDateTime() : c.toDateTime(head, kStoredMoment);
    const QTime time = c.toTime(head, kStoredTime);
    if (moment.isValid()) {
        entry.kind = jekDateTime;
        entry.moment = moment;
        entry.text = FormatDateTimeEntry(moment, formats);
    } else if (time.isValid()) {
        entry.kind = jekTime;
        entry.moment = QDateTime(JournalDayZero(), time);
        entry.text = formats.locale.toString(time, formats.longTime);
        if (entry.hasDay) entry.text += QLatin1Char(';') + entry.day;
    } else {
        entry = ParseJournalEntry(stored, formats);
    }
    return entry;
}

bool KeepJournalEntryOnLoad(const TJournalEntry& entry, const QDateTime& now) {
    switch (entry.kind) {
    case jekDateTime:
        return now <= entry.moment;
    case jekTime:
        return true;
    case jekUnreadable:
        return false;
    }
    return false;
}

bool KeepJournalEntryOnLoad(const QString& entry, const QDateTime& now,
                            const TJournalFormats& formats) {
    return KeepJournalEntryOnLoad(ParseJournalEntry(entry, formats), now);
}

bool JournalEntryDue(const TJournalEntry& entry, const QDateTime& now) {
    switch (entry.kind) {
    case jekDateTime:
        return now >= entry.moment;
    case jekTime: {
        if (entry.day != WeekdayName(now.date()) && entry.day != QLatin1String("Any")) return false;
        const QTime at = entry.moment.time();
        const QTime clock = now.time();
        return at.hour() == clock.hour() && at.minute() == clock.minute() &&
               at.second() == clock.second();
    }
    case jekUnreadable:
        break;
    }
    return false;
}

TJournalDue DueJournalEntry(const std::vector<TJournalEntry>& entries, const QDateTime& now) {
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (JournalEntryDue(entries[i], now))
            return {static_cast<int>(i), entries[i].kind == jekDateTime};
    return {};
}

TJournalDue DueJournalEntry(const QStringList& entries, const QDateTime& now,
                            const TJournalFormats& formats) {
    std::vector<TJournalEntry> parsed;
    parsed.reserve(static_cast<std::size_t>(entries.size()));
    for (const QString& entry : entries)
        parsed.push_back(ParseJournalEntry(entry, formats));
    return DueJournalEntry(parsed, now);
}
