// The main window and its settings file: what it reads at start is what it writes at the end,
// down to keys it does not know and bytes that are not UTF-8.

#include "app/IniFiles.h"
#include "app/Settings.h"
#include "app/UnitMain.h"
#include "ui/ApplicationErrors.h"

#include "tests/app/SettingsFileHolder.h"
#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>

#include <memory>

using P = ScriptedPeer;

namespace {

class SettingsWindow : public WidgetTest, protected SettingsFileHolder {
protected:
    std::unique_ptr<TfrmMain> form;

    void SetUp() override {
        WidgetTest::SetUp();
        TfrmMain::OverrideSettingsFile(path);
        TfrmMain::SetClockForTests([] { return QDateTime(QDate(2026, 6, 1), QTime(12, 0)); });
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
    }
    void TearDown() override {
        form.reset();
        TfrmMain::OverrideSettingsFile({});
        TfrmMain::SetClockForTests({});
        SetEscapedExceptionHandler(nullptr);
    }
};

TEST_F(SettingsWindow, EveryOptionsKeyIsReadIntoItsControlAndWrittenBackAsItWas) {
    struct Key {
        const char* name;
        std::string value;
        std::function<bool(const TfrmMain&)> shown;
    };
    const auto text = [](QLineEdit* TfrmMain::*field, const char* expected) {
        return [field, expected](const TfrmMain& f) { return (f.*field)->text() == expected; };
    };
    const auto checked = [](QCheckBox* TfrmMain::*box) {
        return [box](const TfrmMain& f) { return (f.*box)->isChecked(); };
    };
    const auto security = [](QComboBox* TfrmMain::*box, int index) {
        return [box, index](const TfrmMain& f) { return (f.*box)->currentIndex() == index; };
    };
    const Key keys[] = {
        {"Pop3HostName", "pop.example.org", text(&TfrmMain::HostEdit, "pop.example.org")},
        {"Pop3PortNum", "1110", text(&TfrmMain::PortEdit, "1110")},
        {"Pop3UserName", "joe", text(&TfrmMain::UserNameEdit, "joe")},
        {"Pop3UserPass", ScrambleText("pa55"), text(&TfrmMain::PassWordEdit, "pa55")},
        {"CheckAuto", "1", checked(&TfrmMain::CheckBoxAuto)},
        {"DeleteOnServer", "1", checked(&TfrmMain::cbDeleteOnServer)},
        {"TimeInterval", "90",
         [](const TfrmMain& f) { return f.tbHours->value() == 1 && f.tbMinutes->value() == 30; }},
        {"SmtpHostName", "smtp.example.org", text(&TfrmMain::SmtpHostEdit, "smtp.example.org")},
        {"SmtpPortName", "2525", text(&TfrmMain::SmtpPortEdit, "2525")},
        {"Forward", "1", checked(&TfrmMain::FwdCheckBox)},
        {"DeleteForwarded", "1", checked(&TfrmMain::FwdDelCheckBox)},
        {"ForwardTo", "ann@example.org", text(&TfrmMain::FwdEdit, "ann@example.org")},
        {"PrintOnReceive", "1", checked(&TfrmMain::PrintCheckBox)},
        {"UseUIDL", "1", checked(&TfrmMain::UidlCheckBox)},
        {"ForwardAttachments", "1", checked(&TfrmMain::ForwardAttachCheckBox)},
        {"Pop3Security", "STARTTLS required", security(&TfrmMain::Pop3SecurityBox, 2)},
        {"Pop3TlsFingerprint", "AB:CD", [](const TfrmMain&) { return true; }},
        {"SmtpSecurity", "TLS", security(&TfrmMain::SmtpSecurityBox, 1)},
        {"SmtpTlsFingerprint", "ef01", [](const TfrmMain&) { return true; }},
    };
    // A later version's keys and sections, which this one does not know.
    std::string file = "; written by hand\n[Options]\n";
    for (const Key& key : keys)
        file += std::string(key.name) + "=" + key.value + "\n";
    file += "LaterOption=kept\n[Later]\nWhatever=1\n";
    WriteFile(file);

    form = std::make_unique<TfrmMain>();
    for (const Key& key : keys)
        EXPECT_TRUE(key.shown(*form)) << key.name;
    form.reset();

    const TIniFile back(path);
    for (const Key& key : keys)
        EXPECT_EQ(back.ReadString("Options", key.name, "missing"), key.value) << key.name;
    EXPECT_EQ(back.ReadString("Options", "LaterOption", ""), "kept");
    EXPECT_EQ(back.ReadString("Later", "Whatever", ""), "1");
    EXPECT_EQ(FileText().rfind("; written by hand\n", 0), 0u);
}

TEST_F(SettingsWindow, KeysAddedLaterFollowTheOldOnesAndAnOldFileKeepsItsMeaning) {
    std::vector<std::string> order = {
        "Pop3HostName",    "Pop3PortNum",  "Pop3UserName",   "Pop3UserPass", "CheckAuto",
        "DeleteOnServer",  "TimeInterval", "SmtpHostName",   "SmtpPortName", "Forward",
        "DeleteForwarded", "ForwardTo",    "PrintOnReceive", "UseUIDL",      "ForwardAttachments"};
    std::string oldFile = "[Options]\n";
    for (const std::string& key : order)
        oldFile += key + "=\n";
    WriteFile(oldFile);
    form = std::make_unique<TfrmMain>();
    EXPECT_TRUE(form->NotifyCheckBox->isChecked());
    EXPECT_FALSE(form->AutostartCheckBox->isChecked());
    form->NotifyCheckBox->setChecked(false);
    form.reset();

    order.insert(order.end(), {"ShowNotifications", "Autostart", "Pop3Security",
                               "Pop3TlsFingerprint", "SmtpSecurity", "SmtpTlsFingerprint"});
    std::vector<std::string> written;
    for (const auto& [key, value] : TIniFile(path).ReadSectionValues("Options"))
        written.push_back(key);
    EXPECT_EQ(written, order);
    EXPECT_NE(FileText().find("\nShowNotifications=0\nAutostart=0\n"), std::string::npos);
    form = std::make_unique<TfrmMain>();
    EXPECT_FALSE(form->NotifyCheckBox->isChecked());
    EXPECT_FALSE(form->Notifier->Enabled());
}

TEST_F(SettingsWindow, AnOlderFileMeansPlainConnectionsAndGetsTheNewKeysAtTheEnd) {
    WriteFile("[Options]\nPop3HostName=pop.example.org\nUseUIDL=1\n");
    form = std::make_unique<TfrmMain>();
    EXPECT_EQ(form->Pop3Security(), secNone);
    EXPECT_EQ(form->SmtpSecurity(), secNone);
    form->Pop3SecurityBox->setCurrentIndex(1);
    form.reset();
    const std::string text = FileText();
    EXPECT_NE(text.find("Autostart=0\nPop3Security=TLS\nPop3TlsFingerprint=\n"
                        "SmtpSecurity=none\nSmtpTlsFingerprint=\n"),
              std::string::npos)
        << text;
    // A value this version does not know is no mode at all.
    EXPECT_EQ(ParseSecurityMode("tls"), secNone);
    EXPECT_EQ(ParseSecurityMode("STARTTLS required"), secStartTls);
}

TEST_F(SettingsWindow, AStoredPasswordThatIsNotUtf8GoesToPassAndBackByteForByte) {
    const std::string password = "p\xE9ss\x80"; // Latin-1 bytes, not UTF-8
    const std::string stored = "Pop3UserPass=" + ScrambleText(password) + "\n";
    WriteFile("[Options]\nPop3HostName=127.0.0.1\nPop3UserName=joe\n" + stored);
    P peer({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
            P::ExpectLine("PASS " + password), P::Send("+OK\r\n"), P::ExpectLine("STAT"),
            P::Send("+OK 0 0\r\n"), P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"), P::Close()});
    form = std::make_unique<TfrmMain>();
    form->PortEdit->setText(QString::fromStdString(peer.PortText()));
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 8000));
    EXPECT_TRUE(peer.WaitFinished(2000));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    form.reset();
    EXPECT_NE(FileText().find(stored), std::string::npos);

    // A password typed anew is taken as typed.
    form = std::make_unique<TfrmMain>();
    form->PassWordEdit->setText(QString::fromUtf8("pässword"));
    EXPECT_EQ(form->Pop3Password(), "p\xC3\xA4ssword");
}

TEST_F(SettingsWindow, JournalIsStoredAlikeInEveryLocaleAndAnUnreadableEntryIsKept) {
    const TJournalFormats shown = TJournalFormats::System();
    const QDateTime older(QDate(2027, 1, 2), QTime(3, 4, 5));
    // As this version writes it, as earlier versions wrote it (the locale's form), by hand,
    // and one that has passed.
    WriteFile("[Journal]\n0=2026-12-24 09:30:00\n1=07:05:00;Monday\n2=" +
              FormatDateTimeEntry(older, shown).toStdString() +
              "\n3=every morning\n4=2026-05-31 23:59:59\n");
    form = std::make_unique<TfrmMain>();
    EXPECT_EQ(form->JournalEntries(),
              QStringList({FormatDateTimeEntry(QDateTime(QDate(2026, 12, 24), QTime(9, 30)), shown),
                           FormatTimeEntry(QTime(7, 5), "Monday", shown),
                           FormatDateTimeEntry(older, shown)}));
    EXPECT_TRUE(form->LogText().contains("every morning"));
    form.reset();
    EXPECT_EQ(ReadJournal(TIniFile(path)),
              (std::vector<std::string>{"2026-12-24 09:30:00", "07:05:00;Monday",
                                        "2027-01-02 03:04:05", "every morning"}));
}

TEST_F(SettingsWindow, StoredEntriesKeepFiringOnTheTimer) {
    WriteFile("[Options]\nCheckAuto=1\n[Journal]\n0=2026-06-01 12:00:01\n1=12:00:05;Any\n");
    form = std::make_unique<TfrmMain>();
    TfrmMain::SetClockForTests([] { return QDateTime(QDate(2026, 6, 1), QTime(12, 0, 1)); });
    form->TimerJournal.Tick();
    EXPECT_EQ(form->ListBoxJournal->count(), 1) << "the used-up moment is gone";
    EXPECT_TRUE(form->StatusText().startsWith("Connect")) << "a check has started";
}

} // namespace
