#pragma once

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <vector>

// The schedule journal's entry texts: "date time" (once, at that moment) and "time;day" (every
// matching day), in the user's short date and long time formats.
struct TJournalFormats {
    QLocale locale;
    QString shortDate; // a two-digit year is widened to four, so every entry reads back exactly
    QString longTime;  // hours, minutes and seconds, without a time zone

    static TJournalFormats System();
    static TJournalFormats For(const QLocale& locale);
};

enum TJournalEntryKind { jekDateTime, jekTime, jekUnreadable };

// The weekday names the time entries use, fixed English words; Qt counts Monday as day 1.
QString WeekdayName(const QDate& date);
// The day choices of the drop-down list, "Any" first.
QStringList JournalDayChoices();

// Day 0 of the date count: a text holding only a time of day is read on this date.
QDate JournalDayZero();

QString FormatDateTimeEntry(const QDateTime& moment, const TJournalFormats& formats);
QString FormatTimeEntry(const QTime& time, const QString& day, const TJournalFormats& formats);

// The text before the first ";", the whole text when there is none.
QString JournalHead(const QString& entry);
// The text after the first ";", empty when there is none.
QString JournalTail(const QString& entry);

// Reads "date time", "date" or "time" (the latter on day 0).
std::optional<QDateTime> ReadJournalDateTime(const QString& text, const TJournalFormats& formats);
TJournalEntryKind JournalEntryKind(const QString& entry, const TJournalFormats& formats);

// An entry read once, so a tick of the journal timer compares moments instead of parsing texts.
struct TJournalEntry {
    TJournalEntryKind kind = jekUnreadable;
    QString text;     // as the journal list shows it
    QDateTime moment; // a time of day falls on day 0
    bool hasDay = false;
    QString day; // the text after ";"
};
TJournalEntry ParseJournalEntry(const QString& entry, const TJournalFormats& formats);

// The settings file holds an entry in a form that reads the same in every locale:
// "yyyy-MM-dd HH:mm:ss" for a moment, "HH:mm:ss" with the optional ";" + day for a time of day.
// An unreadable entry is stored as it stands.
QString StoredJournalEntry(const TJournalEntry& entry);
// Reads an entry from the file: the stored form, or the locale form older files hold. The kind
// is jekUnreadable when neither reads; text is then the stored text.
TJournalEntry ReadStoredJournalEntry(const QString& stored, const TJournalFormats& formats);

// Whether a stored entry is taken back into the journal at start.
bool KeepJournalEntryOnLoad(const TJournalEntry& entry, const QDateTime& now);
bool KeepJournalEntryOnLoad(const QString& entry, const QDateTime& now,
                            const TJournalFormats& formats);

// Whether the entry fires on a tick at now.
bool JournalEntryDue(const TJournalEntry& entry, const QDateTime& now);

// The entry that fires on a tick at now, if any: at most one per tick, the first due in list
// order. removeIt tells that it is a date/time entry, which is used up by firing.
struct TJournalDue {
    int index = -1;
    bool removeIt = false;
};
TJournalDue DueJournalEntry(const std::vector<TJournalEntry>& entries, const QDateTime& now);
TJournalDue DueJournalEntry(const QStringList& entries, const QDateTime& now,
                            const TJournalFormats& formats);

Q_DECLARE_METATYPE(TJournalEntry)
