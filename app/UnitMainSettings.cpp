#include "app/UnitMain.h"

#include "app/Autostart.h"
#include "app/Settings.h"
#include "ui/QtText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>

namespace {

// What a text field holds, as bytes: the stored bytes while it still shows them (they need not
// be UTF-8, and re-encoding what is shown would change them), else its text in UTF-8.
std::string FieldBytes(const QLineEdit* field, const std::string& stored) {
    const QString shown = field->text();
    return shown == ToQString(stored) ? stored : FromQString(shown);
}

} // namespace

void TfrmMain::LoadSettings() {
    const TIniFile ini(SettingsFileName());
    const TOptions o = ReadOptions(ini);
    loadedOptions_ = o;
    // In the file's key order: each control's change handler runs when its value changes.
    HostEdit->setText(ToQString(o.Pop3HostName));
    PortEdit->setText(ToQString(o.Pop3PortNum));
    UserNameEdit->setText(ToQString(o.Pop3UserName));
    PassWordEdit->setText(ToQString(o.Pop3UserPass));
    CheckBoxAuto->setChecked(o.CheckAuto);
    cbDeleteOnServer->setChecked(o.DeleteOnServer);
    tbHours->setValue(o.IntervalHours);
    tbMinutes->setValue(o.IntervalMinutes);
    SmtpHostEdit->setText(ToQString(o.SmtpHostName));
    SmtpPortEdit->setText(ToQString(o.SmtpPortName));
    FwdCheckBox->setChecked(o.Forward);
    FwdDelCheckBox->setChecked(o.DeleteForwarded);
    FwdEdit->setText(ToQString(o.ForwardTo));
    PrintCheckBox->setChecked(o.PrintOnReceive);
    UidlCheckBox->setChecked(o.UseUIDL);
    ForwardAttachCheckBox->setChecked(o.ForwardAttachments);
    Banner->ReadPairs(ini);
    NotifyCheckBox->setChecked(o.ShowNotifications);
    {
        // Loading is not the user's click: the entry is only brought up to date below.
        const QSignalBlocker block(AutostartCheckBox);
        AutostartCheckBox->setChecked(o.Autostart);
    }
    // The program may have moved since the entry was written.
    if (o.Autostart) AutostartCheckBoxClick();
    Pop3SecurityBox->setCurrentIndex(o.Pop3Security);
    SmtpSecurityBox->setCurrentIndex(o.SmtpSecurity);

    const QDateTime now = Now();
    unreadableJournal_.clear();
    for (const std::string& stored : ReadJournal(ini)) {
        const TJournalEntry entry = ReadStoredJournalEntry(ToQString(stored), formats_);
        if (entry.kind == jekUnreadable) {
            // A hand-edited entry cannot be scheduled, but it is not ours to throw away.
            unreadableJournal_.push_back(stored);
            AppendLog(QStringLiteral("Journal entry not understood, kept in the settings file: ") +
                      entry.text);
        } else if (KeepJournalEntryOnLoad(entry, now)) {
            AddJournalEntry(entry);
        }
    }
}

std::string TfrmMain::Pop3Password() const {
    return FieldBytes(PassWordEdit, loadedOptions_.Pop3UserPass);
}

TSecurityMode TfrmMain::Pop3Security() const {
    return static_cast<TSecurityMode>(std::max(0, Pop3SecurityBox->currentIndex()));
}

TSecurityMode TfrmMain::SmtpSecurity() const {
    return static_cast<TSecurityMode>(std::max(0, SmtpSecurityBox->currentIndex()));
}

void TfrmMain::SaveSettings() {
    TIniFile ini(SettingsFileName());
    const TOptions& stored = loadedOptions_;
    TOptions o;
    o.Pop3HostName = FieldBytes(HostEdit, stored.Pop3HostName);
    o.Pop3PortNum = FieldBytes(PortEdit, stored.Pop3PortNum);
    o.Pop3UserName = FieldBytes(UserNameEdit, stored.Pop3UserName);
    o.Pop3UserPass = Pop3Password();
    o.CheckAuto = CheckBoxAuto->isChecked();
    o.DeleteOnServer = cbDeleteOnServer->isChecked();
    o.SmtpHostName = FieldBytes(SmtpHostEdit, stored.SmtpHostName);
    o.SmtpPortName = FieldBytes(SmtpPortEdit, stored.SmtpPortName);
    o.Forward = FwdCheckBox->isChecked();
    o.DeleteForwarded = FwdDelCheckBox->isChecked();
    o.ForwardTo = FieldBytes(FwdEdit, stored.ForwardTo);
    o.PrintOnReceive = PrintCheckBox->isChecked();
    o.UseUIDL = UidlCheckBox->isChecked();
    o.ForwardAttachments = ForwardAttachCheckBox->isChecked();
    o.ShowNotifications = NotifyCheckBox->isChecked();
    o.Autostart = AutostartCheckBox->isChecked();
    o.Pop3Security = Pop3Security();
    o.Pop3TlsFingerprint = stored.Pop3TlsFingerprint;
    o.SmtpSecurity = SmtpSecurity();
    o.SmtpTlsFingerprint = stored.SmtpTlsFingerprint;
    WriteOptions(ini, o, tbHours->value(), tbMinutes->value());

    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(ListBoxJournal->count()) + unreadableJournal_.size());
    for (int row = 0; row < ListBoxJournal->count(); ++row)
        entries.push_back(FromQString(StoredJournalEntry(JournalEntryAt(row))));
    entries.insert(entries.end(), unreadableJournal_.begin(), unreadableJournal_.end());
    WriteJournal(ini, entries);
    ini.UpdateFile();
}

void TfrmMain::AutostartCheckBoxClick() {
    try {
        TAutostart::Apply(AutostartCheckBox->isChecked(),
                          FromQString(QCoreApplication::applicationFilePath()));
    } catch (const std::exception& e) {
        AppendLog(QStringLiteral("Error: ") + ToQString(e.what()));
    }
}
