#include "app/Journal.h"

#include <gtest/gtest.h>

namespace {

const TJournalFormats us = TJournalFormats::For(QLocale(QLocale::English, QLocale::UnitedStates));
const TJournalFormats de = TJournalFormats::For(QLocale(QLocale::German, QLocale::Germany));

QDateTime At(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

TEST(JournalText, EntriesUseTheLocaleFormatsWithAFourDigitYear) {
    EXPECT_EQ(FormatDateTimeEntry(At(2026, 12, 24, 9, 30, 5), us), "12/24/2026 9:30:05 AM");
    EXPECT_EQ(FormatDateTimeEntry(At(2026, 12, 24, 0, 0, 0), us), "12/24/2026");
    EXPECT_EQ(FormatDateTimeEntry(At(2026, 12, 24, 21, 0, 0), de), "24.12.2026 21:00:00");
    EXPECT_EQ(FormatTimeEntry(QTime(7, 5, 0), "Tuesday", de), "07:05:00;Tuesday");
    EXPECT_EQ(FormatTimeEntry(QTime(19, 5, 0), "Any", us), "7:05:00 PM;Any");
}

TEST(JournalText, EntriesReadBackAsWrittenAndAreToldApartByTheirHead) {
    for (const TJournalFormats* f : {&us, &de}) {
        const QDateTime moment = At(2031, 2, 3, 4, 5, 6);
        const QString entry = FormatDateTimeEntry(moment, *f);
        EXPECT_EQ(ReadJournalDateTime(entry, *f), moment) << entry.toStdString();
        EXPECT_EQ(JournalEntryKind(entry, *f), jekDateTime);
        EXPECT_EQ(JournalEntryKind(FormatDateTimeEntry(At(2031, 2, 3, 0, 0, 0), *f), *f),
                  jekDateTime);
        const QString daily = FormatTimeEntry(QTime(4, 5, 6), "Any", *f);
        EXPECT_EQ(JournalEntryKind(daily, *f), jekTime);
        // A time read alone falls on day 0 of the date count.
        EXPECT_EQ(ReadJournalDateTime(JournalHead(daily), *f)->date(), QDate(1899, 12, 30));
    }
    EXPECT_EQ(JournalEntryKind("soon;Any", de), jekUnreadable);
    EXPECT_EQ(JournalEntryKind("", de), jekUnreadable);
    EXPECT_EQ(JournalHead("a;b;c"), "a");
    EXPECT_EQ(JournalTail("a;b;c"), "b;c");
    EXPECT_EQ(JournalTail("a"), "");
}

TEST(JournalLoad, PassedDatesAndUnreadableEntriesAreLeftOut) {
    const QDateTime now = At(2026, 6, 1, 12, 0, 0);
    EXPECT_TRUE(KeepJournalEntryOnLoad("01.06.2026 12:00:00", now, de)); // now is not late
    EXPECT_TRUE(KeepJournalEntryOnLoad("02.06.2026", now, de));
    EXPECT_FALSE(KeepJournalEntryOnLoad("01.06.2026 11:59:59", now, de));
    EXPECT_FALSE(KeepJournalEntryOnLoad("01.06.2026", now, de));
    EXPECT_TRUE(KeepJournalEntryOnLoad("03:00:00;Monday", now, de));
    EXPECT_TRUE(KeepJournalEntryOnLoad("03:00:00", now, de));
    EXPECT_FALSE(KeepJournalEntryOnLoad("every morning", now, de));
    EXPECT_FALSE(KeepJournalEntryOnLoad("31.02.2026 10:00:00", now, de));
}

TEST(JournalTick, OneEntryFiresPerTickInListOrder) {
    const QDateTime tuesdayNine = At(2026, 12, 1, 9, 0, 0); // a Tuesday
    ASSERT_EQ(WeekdayName(tuesdayNine.date()), "Tuesday");
    const QStringList entries = {"09:00:01;Any",     "09:00:00;Monday",     "09:00:00",
                                 "09:00:00;tuesday", "01.12.2026 09:00:00", "01.12.2026 08:00:00",
                                 "09:00:00;Tuesday"};
    // The first due entry in list order is the date/time one; it is used up by firing.
    TJournalDue due = DueJournalEntry(entries, tuesdayNine, de);
    EXPECT_EQ(due.index, 4);
    EXPECT_TRUE(due.removeIt);
    QStringList rest = entries;
    rest.removeAt(4);
    due = DueJournalEntry(rest, tuesdayNine, de);
    EXPECT_EQ(due.index, 4); // the second date/time entry, one tick later
    rest.removeAt(4);
    due = DueJournalEntry(rest, tuesdayNine, de);
    EXPECT_EQ(due.index, 4); // the weekday entry stays in the list
    EXPECT_FALSE(due.removeIt);
    // Only within the exact second, and "Any" on any day.
    EXPECT_EQ(DueJournalEntry(rest, tuesdayNine.addSecs(1), de).index, 0);
    EXPECT_EQ(DueJournalEntry(rest, tuesdayNine.addDays(1).addSecs(2), de).index, -1);
    EXPECT_EQ(DueJournalEntry({"09:00:00;Tuesday"}, tuesdayNine.addDays(7), de).index, 0);
    EXPECT_EQ(DueJournalEntry({"09:00:00;Tuesday"}, tuesdayNine.addDays(1), de).index, -1);
}

} // namespace
