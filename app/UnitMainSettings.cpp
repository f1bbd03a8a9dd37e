#include "app/UnitMain.h"

#include "app/Settings.h"
#include "ui/QtText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSlider>

void TfrmMain::LoadSettings() {
    const TIniFile ini(SettingsFileName());
    const TOptions o = ReadOptions(ini);
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

    const QDateTime now = Now();
    for (const std::string& entry : ReadJournal(ini)) {
        const QString text = ToQString(entry);
        // An entry that reads as neither date nor time (a hand-edited file) is left out.
        if (KeepJournalEntryOnLoad(text, now, formats_)) ListBoxJournal->addItem(text);
    }
}

void TfrmMain::SaveSettings() {
    TIniFile ini(SettingsFileName());
    TOptions o;
    o.Pop3HostName = FromQString(HostEdit->text());
    o.Pop3PortNum = FromQString(PortEdit->text());
    o.Pop3UserName = FromQString(UserNameEdit->text());
    o.Pop3UserPass = FromQString(PassWordEdit->text());
    o.CheckAuto = CheckBoxAuto->isChecked();
    o.DeleteOnServer = cbDeleteOnServer->isChecked();
    o.SmtpHostName = FromQString(SmtpHostEdit->text());
    o.SmtpPortName = FromQString(SmtpPortEdit->text());
    o.Forward = FwdCheckBox->isChecked();
    o.DeleteForwarded = FwdDelCheckBox->isChecked();
    o.ForwardTo = FromQString(FwdEdit->text());
    o.PrintOnReceive = PrintCheckBox->isChecked();
    o.UseUIDL = UidlCheckBox->isChecked();
    WriteOptions(ini, o, tbHours->value(), tbMinutes->value());

    std::vector<std::string> entries;
    for (const QString& entry : JournalEntries())
        entries.push_back(FromQString(entry));
    WriteJournal(ini, entries);
}
