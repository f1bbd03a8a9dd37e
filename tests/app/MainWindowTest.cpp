#include "app/UnitAbout.h"
#include "app/UnitMain.h"
#include "app/UnitMessage.h"
#include "ui/ApplicationErrors.h"
#include "ui/EventLoop.h"

#include "tests/support/EventLoopFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>

#include <fstream>

namespace {

// A Tuesday morning; the schedule reads this clock.
const QDateTime kNow(QDate(2026, 12, 1), QTime(9, 0, 0));

class MainWindow : public WidgetTest {
protected:
    QTemporaryDir dir;
    std::string ini = dir.path().toStdString() + "/postlark.ini";
    QDateTime now = kNow;
    int confirmations = 0;
    bool answer = false;
    std::vector<std::string> errors;
    std::unique_ptr<TfrmMain> form;

    void SetUp() override {
        WidgetTest::SetUp();
        TfrmMain::OverrideSettingsFile(ini);
        TfrmMain::SetClockForTests([this] { return now; });
        TfrmMain::SetConfirmForTests([this] {
            ++confirmations;
            return answer;
        });
        SetEscapedExceptionHandler([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                errors.push_back(x.what());
            }
        });
    }
    void TearDown() override {
        form.reset();
        TfrmMain::OverrideSettingsFile({});
        TfrmMain::SetClockForTests(nullptr);
        TfrmMain::SetConfirmForTests(nullptr);
        SetEscapedExceptionHandler(nullptr);
        Application::ResetTerminated();
    }
    void WriteIni(const std::string& text) { std::ofstream(ini) << text; }
    TfrmMain& Open() {
        form = std::make_unique<TfrmMain>();
        return *form;
    }
    std::vector<QPushButton*> Buttons() const {
        return {form->btnDownload, form->btnHide, form->btnAbout, form->btnClear, form->btnClose};
    }
    void PressDelete() {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QCoreApplication::sendEvent(form->clvMain, &press);
    }
    static std::unique_ptr<TMailMessage> Message(const std::string& from, const std::string& id) {
        auto m = std::make_unique<TMailMessage>();
        m->From = from;
        m->Subject = "About " + from;
        m->Date = "Tue, 1 Dec 2026";
        m->MsgId = id;
        return m;
    }
};

TEST_F(MainWindow, FirstStartIsHiddenToTheTrayWithDefaults) {
    TfrmMain& f = Open();
    EXPECT_EQ(f.windowTitle(), "Postlark 2.0.1");
    EXPECT_TRUE(f.CoolTrayIcon->Active());
    EXPECT_TRUE(f.CoolTrayIcon->IconShown());
    EXPECT_EQ(f.CoolTrayIcon->ShownToolTip(), "Postlark 2.0.1");
    // Without a notification area (the offscreen platform) the window waits minimised.
    if (TCoolTrayIcon::NotificationAreaAvailable())
        EXPECT_FALSE(f.isVisible());
    else
        EXPECT_TRUE(f.isMinimized());
    EXPECT_EQ(f.cpcMain->currentIndex(), 0);
    EXPECT_EQ(f.cpcMain->count(), 5);
    EXPECT_EQ(f.SmtpPortEdit->text(), "smtp");
    EXPECT_EQ(f.PortEdit->text(), "");
    EXPECT_EQ(f.LabelHours->text(), "Interval &Hours (0)");
    EXPECT_EQ(f.LabelMinutes->text(), "Interval &Minutes (1)");
    EXPECT_EQ(f.ListBoxJournal->count(), 0);
    EXPECT_FALSE(f.TimerCheck.Running());
    EXPECT_FALSE(f.TimerJournal.Running());
    EXPECT_EQ(f.ccbDays->currentText(), "Any");
    EXPECT_EQ(f.DatePicker->date(), kNow.date());
    EXPECT_TRUE(f.SpeedButtonAddDate->isEnabled());
    EXPECT_TRUE(errors.empty());

    f.CoolTrayIcon->OnMouseUp(nullptr, mbRight, 0, 0, 0);
    EXPECT_TRUE(f.isVisible() && !f.isMinimized());
    EXPECT_FALSE(f.CoolTrayIcon->IconShown());
    f.btnHide->click();
    EXPECT_TRUE(f.CoolTrayIcon->IconShown());
    EXPECT_EQ(f.CoolTrayIcon->ShownToolTip(), "Postlark 2.0.1");
}

TEST_F(MainWindow, CloseAsksAndOnlyYesEndsAndSaves) {
    TfrmMain& f = Open();
    f.HostEdit->setText("pop.example.org");
    answer = false;
    EXPECT_FALSE(f.close());
    EXPECT_EQ(confirmations, 1);
    EXPECT_FALSE(Application::Terminated());
    EXPECT_FALSE(std::ifstream(ini).good()) << "nothing is written before the end";

    answer = true;
    f.btnClose->click();
    EXPECT_EQ(confirmations, 2);
    EXPECT_TRUE(Application::Terminated());
    form.reset();
    std::ifstream written(ini);
    std::string text((std::istreambuf_iterator<char>(written)), {});
    EXPECT_NE(text.find("Pop3HostName=pop.example.org"), std::string::npos);
}

TEST_F(MainWindow, SettingsComeBackAtTheNextStart) {
    WriteIni("[Options]\nTimeInterval=1500\nUseUIDL=1\nCheckAuto=1\nPop3UserPass=\n");
    TfrmMain& f = Open();
    EXPECT_EQ(f.tbHours->value(), 23);
    EXPECT_EQ(f.tbMinutes->value(), 0);
    EXPECT_EQ(f.LabelHours->text(), "Interval &Hours (23)");
    EXPECT_TRUE(f.UidlCheckBox->isChecked());
    EXPECT_EQ(f.TimerCheck.Interval(), 23u * 60 * 60000);
    EXPECT_TRUE(f.TimerCheck.Running());
    EXPECT_TRUE(f.TimerJournal.Running());
    f.tbHours->setValue(1);
    f.tbMinutes->setValue(30);
    f.PassWordEdit->setText("pa ss");
    form.reset();
    TfrmMain& again = Open();
    EXPECT_EQ(again.tbHours->value(), 1);
    EXPECT_EQ(again.tbMinutes->value(), 30);
    EXPECT_EQ(again.PassWordEdit->text(), "pa ss");
}

TEST_F(MainWindow, UnwritableSettingsAreReportedAndTheProgramStillEnds) {
    WriteIni("[Options]\nPop3HostName=kept\n");
    Open();
    QFile::setPermissions(QString::fromStdString(ini), QFileDevice::ReadOwner);
    form->HostEdit->setText("changed");
    form.reset();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Unable to write to " + ini);
}

TEST_F(MainWindow, ButtonsAreDisabledWhileASessionIsConnected) {
    TfrmMain& f = Open();
    f.Pop3ClientSessionConnected(nullptr, 0);
    EXPECT_TRUE(f.Busy());
    for (QPushButton* b : Buttons())
        EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
    f.SetStatusText("unchanged");
    f.btnDownloadClick();
    EXPECT_EQ(f.StatusText(), "unchanged") << "Check while busy does nothing";
    // The close box still asks.
    answer = false;
    EXPECT_FALSE(f.close());
    EXPECT_EQ(confirmations, 1);

    f.AppendMessage(Message("ada", "1"));
    f.Pop3ClientSessionClosed(nullptr, 0);
    EXPECT_FALSE(f.Busy());
    for (QPushButton* b : Buttons())
        EXPECT_TRUE(b->isEnabled());
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.CoolTrayIcon->IconShown());
    EXPECT_EQ(f.StatusText(), "There're 1 messages");
}

TEST_F(MainWindow, ClearLogEmptiesTheLogAndNothingElse) {
    TfrmMain& f = Open();
    f.AppendMessage(Message("ada", "1"));
    f.Pop3ClientDisplay(nullptr, "> STAT");
    f.AppendLog("Finished");
    f.SetStatusText("Stat ok");
    EXPECT_EQ(f.LogText(), "> STAT\nFinished");
    f.btnClear->click();
    EXPECT_EQ(f.LogText(), "");
    EXPECT_EQ(f.StatusText(), "Stat ok");
    EXPECT_EQ(f.clvMain->RowCount(), 1);
}

TEST_F(MainWindow, MailListHoldsMessagesAndDeleteRemovesTheSelectedOne) {
    TfrmMain& f = Open();
    EXPECT_FALSE(f.IsMessageHere(""));
    f.AppendMessage(Message("ada", "<A@Example>"));
    f.AppendMessage(Message("bob", "uid-2"));
    f.AppendMessage(Message("cy", "uid-2"));
    EXPECT_TRUE(f.IsMessageHere("<a@example>"));
    EXPECT_FALSE(f.IsMessageHere(" <a@example>"));
    EXPECT_TRUE(f.IsMessageHere("UID-2"));
    ASSERT_EQ(f.clvMain->RowCount(), 3);
    EXPECT_EQ(f.clvMain->RowText(1, 0), "bob");
    EXPECT_EQ(f.clvMain->RowText(1, 1), "About bob");
    EXPECT_EQ(f.clvMain->RowText(1, 2), "Tue, 1 Dec 2026");

    PressDelete(); // nothing selected
    EXPECT_EQ(f.Messages().size(), 3u);

    TMailMessage* bob = f.Messages()[1].get();
    TfrmMessage viewer;
    frmMessage = &viewer;
    f.clvMain->SelectRow(1);
    PressDelete();
    frmMessage = nullptr;
    EXPECT_FALSE(f.IsInMessageList(bob));
    ASSERT_EQ(f.Messages().size(), 2u);
    EXPECT_EQ(f.clvMain->RowCount(), 2);
    EXPECT_EQ(f.clvMain->RowText(1, 0), "cy");
    EXPECT_EQ(viewer.ShownMessage(), nullptr);

    int key = 'A';
    f.clvMain->SelectRow(0);
    f.clvMainKeyDown(nullptr, key, 0);
    EXPECT_EQ(f.Messages().size(), 2u);
}

TEST_F(MainWindow, TrackBarsSetLabelsAndTheCheckTimer) {
    TfrmMain& f = Open();
    f.tbMinutes->setValue(5);
    EXPECT_EQ(f.LabelMinutes->text(), "Interval &Minutes (5)");
    EXPECT_EQ(f.TimerCheck.Interval(), 300000u);
    EXPECT_FALSE(f.TimerCheck.Running());
    f.CheckBoxAuto->setChecked(true);
    EXPECT_TRUE(f.TimerCheck.Running());
    EXPECT_TRUE(f.TimerJournal.Running());
    EXPECT_EQ(f.TimerJournal.Interval(), 1000u);
    f.tbMinutes->setValue(0);
    EXPECT_FALSE(f.TimerCheck.Running()) << "no interval checks at 0 h 0 min";
    EXPECT_TRUE(f.TimerJournal.Running()) << "the journal still runs";
    f.CheckBoxAuto->setChecked(false);
    EXPECT_FALSE(f.TimerJournal.Running());
}

TEST_F(MainWindow, JournalAddAndRemove) {
    TfrmMain& f = Open();
    const TJournalFormats formats = TJournalFormats::System();
    f.DatePicker->setDate(kNow.date());
    f.TimePicker->setTime(QTime(10, 15, 0));
    f.SpeedButtonAddDate->click();
    f.ccbDays->setCurrentText("Tuesday");
    f.SpeedButtonAddTime->click();
    ASSERT_EQ(f.ListBoxJournal->count(), 2);
    EXPECT_EQ(f.ListBoxJournal->item(0)->text(),
              FormatDateTimeEntry(QDateTime(kNow.date(), QTime(10, 15, 0)), formats));
    EXPECT_EQ(f.ListBoxJournal->item(1)->text(),
              FormatTimeEntry(QTime(10, 15, 0), "Tuesday", formats));

    f.TimePicker->setTime(QTime(8, 59, 0)); // a minute in the past
    EXPECT_FALSE(f.SpeedButtonAddDate->isEnabled());
    f.SpeedButtonAddDateClick();
    EXPECT_EQ(f.ListBoxJournal->count(), 2);
    EXPECT_FALSE(f.SpeedButtonAddDate->isEnabled());

    f.SpeedButtonRemove->click(); // nothing selected
    EXPECT_EQ(f.ListBoxJournal->count(), 2);
    f.ListBoxJournal->item(0)->setSelected(true);
    f.SpeedButtonRemove->click();
    ASSERT_EQ(f.ListBoxJournal->count(), 1);
    EXPECT_TRUE(f.ListBoxJournal->item(0)->text().endsWith(";Tuesday"));
    f.SpeedButtonRemoveAll->click();
    EXPECT_EQ(f.ListBoxJournal->count(), 0);
    form.reset();
    std::ifstream written(ini);
    std::string text((std::istreambuf_iterator<char>(written)), {});
    EXPECT_EQ(text.find("[Journal]"), std::string::npos);
}

TEST_F(MainWindow, JournalLoadFilterKeepsAUsableProgram) {
    const TJournalFormats formats = TJournalFormats::System();
    const std::string past = FormatDateTimeEntry(kNow.addSecs(-60), formats).toStdString();
    const std::string future = FormatDateTimeEntry(kNow.addSecs(3600), formats).toStdString();
    const std::string daily = FormatTimeEntry(QTime(9, 0, 0), "Any", formats).toStdString();
    const std::string bare = FormatTimeEntry(QTime(9, 0, 0), "", formats).toStdString();
    WriteIni("[Options]\nCheckAuto=1\n[Journal]\n0=" + past + "\n1=" + future + "\n2=" + daily +
             "\n3=tomorrow at nine\n4=" + bare.substr(0, bare.size() - 1) + "\n");
    TfrmMain& f = Open();
    ASSERT_EQ(f.ListBoxJournal->count(), 3);
    EXPECT_EQ(f.ListBoxJournal->item(0)->text().toStdString(), future);
    EXPECT_EQ(f.ListBoxJournal->item(1)->text().toStdString(), daily);
    EXPECT_TRUE(f.CoolTrayIcon->IconShown());
    EXPECT_TRUE(f.TimerJournal.Running());
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindow, JournalTickStartsAtMostOneCheck) {
    TfrmMain& f = Open();
    const TJournalFormats formats = TJournalFormats::System();
    f.HostEdit->setText("127.0.0.1");
    f.PortEdit->setText("1");
    const QString due = FormatDateTimeEntry(kNow, formats);
    f.ListBoxJournal->addItems({FormatTimeEntry(QTime(9, 0, 0), "Monday", formats), due, due,
                                FormatTimeEntry(QTime(9, 0, 0), "Any", formats)});
    f.TimerJournal.Tick();
    EXPECT_EQ(f.StatusText(), "Connect ok");
    EXPECT_EQ(f.ListBoxJournal->count(), 3);
    f.SetStatusText("");
    f.TimerJournal.Tick(); // the first connect is still under way
    EXPECT_EQ(f.StatusText(), "Connect failed (POP3 component not ready)");
    EXPECT_EQ(f.ListBoxJournal->count(), 2);
    f.SetStatusText("");
    f.Pop3ClientSessionConnected(nullptr, 0); // busy: a due entry starts nothing
    f.TimerJournal.Tick();
    EXPECT_EQ(f.StatusText(), "");
    EXPECT_EQ(f.ListBoxJournal->count(), 2);
}

TEST_F(MainWindow, AboutBoxShowsTheTitle) {
    Open();
    TfrmAbout about;
    frmAbout = &about;
    QTimer::singleShot(0, &about, [&] {
        EXPECT_TRUE(about.isVisible());
        about.cmdOK->click();
    });
    form->btnAbout->click();
    frmAbout = nullptr;
    EXPECT_EQ(about.windowTitle(), "About Postlark 2.0.1");
    EXPECT_EQ(about.lblApp->text(), "Postlark 2.0.1");
    EXPECT_FALSE(about.imgIcon->pixmap().isNull());
    EXPECT_FALSE(about.isVisible());
}

TEST_F(MainWindow, AboutBoxClosesWithReturnAndEscape) {
    TfrmAbout about;
    EXPECT_TRUE(about.cmdOK->isDefault());
    const auto pressLater = [&about](Qt::Key key) {
        QTimer::singleShot(0, &about, [&about, key] {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(&about, &press);
        });
    };
    pressLater(Qt::Key_Escape);
    EXPECT_EQ(about.exec(), QDialog::Rejected);
    pressLater(Qt::Key_Return);
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

} // namespace
