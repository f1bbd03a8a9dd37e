#include "app/UnitMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QListWidget>
#include <QSlider>
#include <QTimeEdit>
#include <QToolButton>

void TfrmMain::UpdateCheckTimer() {
    const std::uint32_t minutes =
        static_cast<std::uint32_t>(tbHours->value() * 60 + tbMinutes->value());
    TimerCheck.SetInterval(minutes * 60000u);
    TimerCheck.SetEnabled(CheckBoxAuto->isChecked() && TimerCheck.Interval() > 0);
}

void TfrmMain::UpdateJournalTimer() {
    TimerJournal.SetEnabled(CheckBoxAuto->isChecked());
    TimerJournal.SetInterval(1000);
}

void TfrmMain::tbHoursChange() {
    LabelHours->setText(QStringLiteral("Interval &Hours (%1)").arg(tbHours->value()));
    LabelHours->adjustSize();
    UpdateCheckTimer();
}

void TfrmMain::tbMinutesChange() {
    LabelMinutes->setText(QStringLiteral("Interval &Minutes (%1)").arg(tbMinutes->value()));
    LabelMinutes->adjustSize();
    UpdateCheckTimer();
}

void TfrmMain::CheckBoxAutoClick() {
    UpdateCheckTimer();
    UpdateJournalTimer();
}

void TfrmMain::TimerCheckTimer() {
    btnDownloadClick();
}

void TfrmMain::UpdateAddDateButton() {
    const QDateTime picked(DatePicker->date(), TimePicker->time());
    SpeedButtonAddDate->setEnabled(Now() <= picked);
}

void TfrmMain::DatePickerChange() {
    UpdateAddDateButton();
}

void TfrmMain::TimePickerChange() {
    UpdateAddDateButton();
}

void TfrmMain::SpeedButtonAddDateClick() {
    UpdateAddDateButton();
    if (!SpeedButtonAddDate->isEnabled()) return;
    const QDateTime picked(DatePicker->date(), TimePicker->time());
    AddJournalEntry(ParseJournalEntry(FormatDateTimeEntry(picked, formats_), formats_));
}

void TfrmMain::SpeedButtonAddTimeClick() {
    const QString text = FormatTimeEntry(TimePicker->time(), ccbDays->currentText(), formats_);
    AddJournalEntry(ParseJournalEntry(text, formats_));
}

namespace {

// Where a journal item keeps its entry as read when it was added.
constexpr int kEntryRole = Qt::UserRole;

} // namespace

void TfrmMain::AddJournalEntry(const TJournalEntry& entry) {
    auto* item = new QListWidgetItem(entry.text);
    item->setData(kEntryRole, QVariant::fromValue(entry));
    ListBoxJournal->addItem(item);
}

TJournalEntry TfrmMain::JournalEntryAt(int row) const {
    const QListWidgetItem* item = ListBoxJournal->item(row);
    const QVariant stored = item->data(kEntryRole);
    if (stored.canConvert<TJournalEntry>()) return stored.value<TJournalEntry>();
    return ParseJournalEntry(item->text(), formats_);
}

void TfrmMain::SpeedButtonRemoveClick() {
    for (int i = ListBoxJournal->count() - 1; i >= 0; --i)
        if (ListBoxJournal->item(i)->isSelected()) delete ListBoxJournal->takeItem(i);
}

void TfrmMain::SpeedButtonRemoveAllClick() {
    ListBoxJournal->clear();
}

QStringList TfrmMain::JournalEntries() const {
    QStringList entries;
    for (int i = 0; i < ListBoxJournal->count(); ++i)
        entries << ListBoxJournal->item(i)->text();
    return entries;
}

void TfrmMain::TimerJournalTimer() {
    std::vector<TJournalEntry> entries;
    entries.reserve(static_cast<std::size_t>(ListBoxJournal->count()));
    for (int row = 0; row < ListBoxJournal->count(); ++row)
        entries.push_back(JournalEntryAt(row));
    const TJournalDue due = DueJournalEntry(entries, Now());
    if (due.index < 0) return;
    // A used-up entry goes before the check starts, also when no check can start now.
    if (due.removeIt) delete ListBoxJournal->takeItem(due.index);
    btnDownloadClick();
}
