// The program's check chain (main window, POP3 client, intake and decoder) against a private
// Dovecot POP3 server on a loopback port.

#include "app/UnitMain.h"
#include "ui/ApplicationErrors.h"

#include "tests/integration/DovecotServer.h"
#include "tests/support/EventLoopFixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The main window needs the widget application; the other suites of this executable make do
// with whichever application exists, so it is created before any of them runs.
class WidgetApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override { EnsureWidgetApplication(); }
};
[[maybe_unused]] const auto* const widgetEnvironment =
    ::testing::AddGlobalTestEnvironment(new WidgetApplicationEnvironment);

class AppDovecot : public ::testing::Test {
protected:
    Dovecot server;
    QTemporaryDir dir;
    std::unique_ptr<TfrmMain> form;

    void SetUp() override {
        std::string why;
        if (!server.Start(why)) {
            server.Stop();
            GTEST_SKIP() << why;
        }
        TfrmMain::OverrideSettingsFile(dir.path().toStdString() + "/postlark.ini");
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
        form = std::make_unique<TfrmMain>();
        form->HostEdit->setText("127.0.0.1");
        form->PortEdit->setText(QString::number(server.Port()));
        form->UserNameEdit->setText("test");
        form->PassWordEdit->setText("secret");
    }
    void TearDown() override {
        form.reset();
        server.Stop();
        TfrmMain::OverrideSettingsFile({});
        SetEscapedExceptionHandler(nullptr);
    }
    void Check() {
        form->SetStatusText({});
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 20000))
            << form->StatusText().toStdString() << form->LogText().toStdString();
        // Let the QUIT's completion arrive before anything else starts.
        PumpUntil([&] {
            const QString log = form->LogText();
            return log.mid(log.lastIndexOf("> QUIT")).contains("Request Done");
        });
    }
    static bool BodyHas(const TMailMessage& m, std::string_view text) {
        for (std::string_view line : m.Body)
            if (line == text) return true;
        return false;
    }
};

TEST_F(AppDovecot, OneCheckRetrievesEveryMessageAndASecondDropsThemAll) {
    form->UidlCheckBox->setChecked(true);
    Check();
    ASSERT_EQ(form->Messages().size(), static_cast<size_t>(kDovecotMessages));
    for (int n = 1; n <= kDovecotMessages; ++n) {
        const TMailMessage& m = *form->Messages()[static_cast<size_t>(n - 1)];
        const std::string id = std::to_string(n);
        EXPECT_EQ(m.From, "Sender " + id + " <sender" + id + "@example.org>");
        EXPECT_NE(m.Subject.find("Message " + id), std::string::npos) << m.Subject;
        EXPECT_EQ(m.ReturnPath, "sender" + id + "@example.org");
        EXPECT_EQ(m.MsgId, " <" + id + ".postlark@example.org>");
        EXPECT_TRUE(BodyHas(m, "Body of message " + id + "."));
        EXPECT_TRUE(BodyHas(m, ".starts with a dot")) << "dot-stuffing undone";
        EXPECT_TRUE(BodyHas(m, "last line"));
        // A plain message's lines, each once.
        EXPECT_EQ(m.Body.Count(), 6 + n * 40);
        EXPECT_FALSE(m.Uidl.empty());
    }
    EXPECT_EQ(form->StatusText(), "There're 6 messages");
    EXPECT_EQ(server.FilesInMaildir(), kDovecotMessages);

    // Held under their Message-ID and their UIDL, the messages are not fetched again.
    Check();
    EXPECT_EQ(form->Messages().size(), static_cast<size_t>(kDovecotMessages));
    EXPECT_EQ(form->LogText().count("> RETR"), kDovecotMessages);
}

TEST_F(AppDovecot, DeleteOnServerEmptiesTheMailbox) {
    form->cbDeleteOnServer->setChecked(true);
    Check();
    EXPECT_EQ(form->Messages().size(), static_cast<size_t>(kDovecotMessages));
    EXPECT_EQ(form->LogText().count("> DELE"), kDovecotMessages);
    EXPECT_EQ(server.FilesInMaildir(), 0);
    Check();
    EXPECT_TRUE(form->LogText().contains("No messages to download."));
    EXPECT_EQ(form->Messages().size(), static_cast<size_t>(kDovecotMessages));
}

} // namespace
