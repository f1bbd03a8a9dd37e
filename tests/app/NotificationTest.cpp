// New mail reaches the desktop as one notification per check, through a notification service
// on a private message bus that the test starts and stops.

#include "app/NewMailNotifier.h"
#include "app/UnitMain.h"

#include "tests/app/MainWindowFixture.h"
#include "tools/FakeNotifications.h"

#include <QCheckBox>
#include <QPushButton>

#include <memory>

using P = ScriptedPeer;

namespace {

TEST(NotificationText, SaysHowManyAndNamesUpToThree) {
    const std::vector<TNewMailNotifier::TNewMail> mail = {
        {"Ada Lovelace <ada@example.org>", "Minutes"},
        {"\"Grace H.\" <grace@example.org>", "   "},
        {"bob@example.org", "Re: lunch"},
        {"Dan <dan@example.org>", "never listed"},
    };
    const struct {
        int count;
        const char* summary;
        const char* body;
    } cases[] = {
        {0, "", ""},
        {1, "1 new message", "Ada Lovelace: Minutes"},
        {3, "3 new messages",
         "Ada Lovelace: Minutes\nGrace H.: (no subject)\nbob@example.org: Re: lunch"},
        {7, "7 new messages",
         "Ada Lovelace: Minutes\nGrace H.: (no subject)\nbob@example.org: Re: lunch\nand 4 more"},
    };
    for (const auto& c : cases) {
        const auto listed = std::vector<TNewMailNotifier::TNewMail>(
            mail.begin(), mail.begin() + std::min(c.count, 4));
        const TNewMailNotifier::TText text = TNewMailNotifier::Text(c.count, listed);
        EXPECT_EQ(text.Summary, c.summary) << c.count;
        EXPECT_EQ(text.Body, c.body) << c.count;
    }
}

// One bus for the whole run of this test program; Qt reads the session bus address once.
class PrivateBusEnvironment : public ::testing::Environment {
public:
    static TPrivateBus* Bus() { return bus_.get(); }
    void SetUp() override {
        bus_ = std::make_unique<TPrivateBus>();
        ASSERT_TRUE(bus_->Start()) << bus_->Error().toStdString();
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus_->Address().toUtf8());
    }
    void TearDown() override { bus_.reset(); }

private:
    static inline std::unique_ptr<TPrivateBus> bus_;
};

const auto* const kBusEnvironment = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

class Notifications : public MainWindowCheckTest {
protected:
    std::unique_ptr<TFakeNotifications> service;

    void SetUp() override {
        MainWindowCheckTest::SetUp();
        ASSERT_NE(PrivateBusEnvironment::Bus(), nullptr);
        service = std::make_unique<TFakeNotifications>(
            PrivateBusEnvironment::Bus()->Address(), QStringList{"actions", "body", "body-markup"});
        ASSERT_TRUE(service->Registered());
    }
    void TearDown() override {
        MainWindowCheckTest::TearDown();
        service.reset();
    }
    void CheckAndWait() {
        form->SetStatusText({});
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 8000))
            << form->StatusText().toStdString();
    }
    static std::vector<P::Step> Session(const std::vector<std::string>& messages) {
        std::vector<P::Step> steps = {P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"),
                                      P::Send("+OK\r\n"),       P::ExpectLine("PASS secret"),
                                      P::Send("+OK\r\n"),       P::ExpectLine("STAT")};
        steps.push_back(P::Send("+OK " + std::to_string(messages.size()) + " 100\r\n"));
        for (std::size_t i = 0; i < messages.size(); ++i) {
            steps.push_back(P::ExpectLine("RETR " + std::to_string(i + 1)));
            steps.push_back(P::Send("+OK\r\n" + messages[i] + ".\r\n"));
        }
        steps.push_back(P::ExpectLine("QUIT"));
        steps.push_back(P::Send("+OK bye\r\n"));
        steps.push_back(P::Close());
        return steps;
    }
};

const std::string kFirst = "From: =?utf-8?q?J=C3=B6rg?= <joerg@example.org>\r\n"
                           "Subject: =?utf-8?b?R3LDvMOfZQ==?= <ok> & more\r\n"
                           "Message-ID: <m1@example.org>\r\n\r\nhi\r\n";
const std::string kSecond = "From: ada@example.org\r\nSubject: second\r\n"
                            "Message-ID: <m2@example.org>\r\n\r\nho\r\n";

TEST_F(Notifications, OneNotificationPerCheckWithNewMailAndNoneForHeldOrNoMail) {
    std::vector<P::Step> script = Session({kFirst, kSecond});
    for (const auto& later : {Session({kFirst, kSecond}), Session({})}) {
        script.push_back(P::Accept());
        script.insert(script.end(), later.begin(), later.end());
    }
    Serve(script);

    CheckAndWait();
    ASSERT_TRUE(PumpUntil([&] { return !service->Shown().empty(); }));
    PumpFor(200);
    ASSERT_EQ(service->Shown().size(), 1u);
    const TFakeNotifications::TShown& shown = service->Shown().front();
    EXPECT_EQ(shown.AppName, "Postlark");
    EXPECT_EQ(shown.Summary, "2 new messages");
    // The service reads markup, so the subject's own "<" and "&" are escaped.
    EXPECT_EQ(shown.Body, QString::fromUtf8("Jörg: Grüße &lt;ok&gt; &amp; more\n"
                                            "ada@example.org: second"));
    EXPECT_TRUE(shown.Actions.contains("default"));

    CheckAndWait(); // both already held: dropped
    CheckAndWait(); // an empty mailbox
    EXPECT_TRUE(peer->WaitFinished(2000));
    EXPECT_TRUE(peer->Failures().empty()) << peer->Failures().front();
    PumpFor(300);
    EXPECT_EQ(service->Shown().size(), 1u);
    EXPECT_EQ(form->Messages().size(), 2u);

    // A click on the notification brings the window back.
    form->hide();
    service->Click(shown.Id, "other-action");
    service->Click(shown.Id + 100);
    PumpFor(200);
    EXPECT_FALSE(form->isVisible());
    service->Click(shown.Id);
    EXPECT_TRUE(PumpUntil([&] { return form->isVisible(); }));
}

TEST_F(Notifications, TurnedOffNothingIsShownAndAServiceWithoutMarkupGetsPlainText) {
    Serve(Session({kFirst}));
    form->NotifyCheckBox->setChecked(false);
    CheckAndWait();
    PumpFor(300);
    EXPECT_TRUE(service->Shown().empty());
    EXPECT_EQ(form->Messages().size(), 1u);

    service.reset(); // gives up the service's name
    service = std::make_unique<TFakeNotifications>(PrivateBusEnvironment::Bus()->Address());
    ASSERT_TRUE(service->Registered());
    Serve(Session({kSecond, kFirst}));
    form->NotifyCheckBox->setChecked(true);
    CheckAndWait();
    ASSERT_TRUE(PumpUntil([&] { return !service->Shown().empty(); }));
    EXPECT_EQ(service->Shown().front().Summary, "1 new message");
    EXPECT_EQ(service->Shown().front().Body, "ada@example.org: second");
}

} // namespace
