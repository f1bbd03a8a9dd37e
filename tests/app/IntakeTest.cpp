#include "app/UnitMain.h"
#include "app/UnitMessage.h"
#include "app/UnitQRMail.h"
#include "ui/ApplicationErrors.h"

#include "tests/app/MainWindowFixture.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <gmock/gmock.h>

using P = ScriptedPeer;
using ::testing::ElementsAre;

namespace {

std::vector<std::string> BodyOf(const TMailMessage& m) {
    return {m.Body.begin(), m.Body.end()};
}

// Joins lines with CR LF.
std::string Crlf(std::initializer_list<std::string> lines) {
    std::string out;
    for (const std::string& line : lines)
        out += line + "\r\n";
    return out;
}

const std::string kMarker = TfrmMain::AttachmentMarker;

// Messages arrive through the real POP3 client from a scripted server on 127.0.0.1 and are
// decoded by the main window's decoder.
class Intake : public MainWindowCheckTest {
protected:
    std::vector<std::string> forwarded;

    void SetUp() override {
        TfrmMain::SetForwarder([this](TMailMessage& m) { forwarded.push_back(m.Subject); });
        MainWindowCheckTest::SetUp();
    }
    void TearDown() override {
        MainWindowCheckTest::TearDown();
        TfrmMain::SetForwarder(nullptr);
        TqrMail::RedirectPrinterToFolder({});
    }

    // One check of a mailbox holding the messages (texts with CR LF line ends, no final
    // "."). uidls, when given, are the server's identifiers and UIDL is switched on; retrieved
    // says which of them the client must RETR. With "Delete On Server" each RETR is followed
    // by a DELE.
    void Check(const std::vector<std::string>& mailbox, const std::vector<std::string>& uidls = {},
               const std::vector<bool>& retrieved = {}) {
        form->UidlCheckBox->setChecked(!uidls.empty());
        std::vector<P::Step> s = {P::Send("+OK ready\r\n"),
                                  P::ExpectLine("USER joe"),
                                  P::Send("+OK\r\n"),
                                  P::ExpectLine("PASS secret"),
                                  P::Send("+OK\r\n"),
                                  P::ExpectLine("STAT"),
                                  P::Send("+OK " + std::to_string(mailbox.size()) + " 0\r\n")};
        for (size_t i = 0; i < mailbox.size(); ++i) {
            const std::string n = std::to_string(i + 1);
            if (!uidls.empty()) {
                s.push_back(P::ExpectLine("UIDL " + n));
                s.push_back(P::Send("+OK " + n + " " + uidls[i] + "\r\n"));
                if (i < retrieved.size() && !retrieved[i]) continue;
            }
            s.push_back(P::ExpectLine("RETR " + n));
            s.push_back(P::Send("+OK\r\n" + mailbox[i] + ".\r\n"));
            if (form->cbDeleteOnServer->isChecked()) {
                s.push_back(P::ExpectLine("DELE " + n));
                s.push_back(P::Send("+OK\r\n"));
            }
        }
        s.push_back(P::ExpectLine("QUIT"));
        s.push_back(P::Send("+OK\r\n"));
        s.push_back(P::Close());
        Serve(std::move(s));
        form->SetStatusText({});
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 8000))
            << form->StatusText().toStdString();
        EXPECT_TRUE(peer->WaitFinished(2000));
        EXPECT_TRUE(peer->Failures().empty()) << peer->Failures().front();
        // The session can close before the QUIT's completion has been delivered; a check
        // started in between would receive it as its own.
        EXPECT_TRUE(PumpUntil([&] {
            const QString log = form->LogText();
            return log.mid(log.lastIndexOf("> QUIT")).contains("Request Done");
        }));
        EXPECT_EQ(form->CurrentMessage(), nullptr);
    }
    const TMailMessage& Held(int i) const { return *form->Messages().at(static_cast<size_t>(i)); }
    int Rows() const { return form->clvMain->RowCount(); }
};

TEST_F(Intake, PlainMessageLinesAreAssembledAsText) {
    Check({Crlf({"Return-Path: <ann@example.org>", "From: Ann <ann@example.org>",
                 "To: joe@example.org", "Subject: Hello", "Date: Fri, 4 Dec 2026 09:15:00 +0100",
                 "", "a", "b"})});
    ASSERT_EQ(form->Messages().size(), 1u);
    const TMailMessage& m = Held(0);
    // No Content-Type means plain text: no line of its own for each line end.
    EXPECT_THAT(BodyOf(m), ElementsAre("a", "b"));
    EXPECT_EQ(m.From, "Ann <ann@example.org>");
    EXPECT_EQ(m.To, "joe@example.org");
    EXPECT_EQ(m.Subject, "Hello");
    EXPECT_EQ(m.ReturnPath, "ann@example.org");
    EXPECT_EQ(m.Date, "Fri, 4 Dec 2026 09:15:00 +0100");
    EXPECT_FALSE(m.HasAttachment);
    EXPECT_EQ(m.RawLines.Count(), 8);
    EXPECT_EQ(m.MsgId, "") << "no UIDL, no Message-ID";
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(form->StatusText(), "There're 1 messages");
}

std::string Multipart(const std::string& textPart) {
    return Crlf({"From: a@example.org", "Subject: parts", "MIME-Version: 1.0",
                 "Content-Type: multipart/mixed; boundary=\"XX\"", "", "preamble", "--XX",
                 "Content-Type: text/plain; charset=us-ascii", ""}) +
           textPart +
           Crlf({"--XX", "Content-Type: application/pdf; name=\"a.pdf\"",
                 "Content-Transfer-Encoding: base64",
                 "Content-Disposition: attachment; filename=\"a.pdf\"", "", "JVBERi0xLjQK", "--XX",
                 "Content-Type: image/png", "Content-Transfer-Encoding: base64",
                 "Content-Disposition: attachment; filename=\"b.png\"", "", "iVBORw0KGgo=", "--XX",
                 "Content-Type: text/html", "", "<p>not shown</p>", "--XX--", "epilogue"});
}

TEST_F(Intake, AttachmentsBecomeOneMarkerLineAndHtmlIsDropped) {
    Check({Multipart(Crlf({"first line", "second line"}))});
    ASSERT_EQ(form->Messages().size(), 1u);
    const TMailMessage& m = Held(0);
    EXPECT_TRUE(m.HasAttachment);
    // The preamble has no content type: its line comes first as it is.
    EXPECT_THAT(BodyOf(m), ElementsAre("preamble", "first line", "second line", kMarker));
}

TEST_F(Intake, TextPlainLinesAreCutAt254BytesAndAnUnendedLastLineIsKept) {
    const std::string longLine(600, 'x');
    // base64 of "last\nunended": the decoded part ends without a line end.
    Check({Multipart(Crlf({longLine, "", "end"})),
           Crlf({"Subject: b64", "Message-ID: <b64>", "Content-Type: multipart/mixed; boundary=B",
                 "", "--B", "Content-Type: text/plain", "Content-Transfer-Encoding: base64", "",
                 "bGFzdAp1bmVuZGVk", "--B--"})});
    ASSERT_EQ(form->Messages().size(), 2u);
    const std::vector<std::string> body = BodyOf(Held(0));
    EXPECT_THAT(body, ElementsAre("preamble", std::string(254, 'x'), std::string(254, 'x'),
                                  std::string(92, 'x'), "", "end", kMarker));
    EXPECT_THAT(BodyOf(Held(1)), ElementsAre("last", "unended"));
}

TEST_F(Intake, MessageIdIsTheKeyWithItsBlankAndASecondCopyIsDropped) {
    const std::string m1 = Crlf({"Subject: one", "Message-ID: <m1>", "", "x"});
    const std::string lower = Crlf({"Subject: lower", "Message-Id: <m2>", "", "x"});
    Check({m1, lower});
    ASSERT_EQ(form->Messages().size(), 2u);
    EXPECT_EQ(Held(0).MsgId, " <m1>");
    EXPECT_EQ(Held(1).MsgId, "") << "only the exact header spelling is a key";
    Check({Crlf({"Subject: again", "Message-ID: <m1>", "", "y"})});
    EXPECT_EQ(form->Messages().size(), 2u);
    EXPECT_EQ(Rows(), 2);
}

TEST_F(Intake, WithUidlAHeldMessageIsSkippedBeforeItsRetrieval) {
    const std::string m1 = Crlf({"Subject: keyed", "Message-ID: <k1>", "", "x"});
    const std::string m2 = Crlf({"Subject: plain", "", "y"});
    Check({m1, m2}, {"u1", "u2"});
    ASSERT_EQ(form->Messages().size(), 2u);
    EXPECT_EQ(Held(0).MsgId, " <k1>");
    EXPECT_EQ(Held(0).Uidl, "u1");
    EXPECT_EQ(Held(1).MsgId, "u2");
    // Neither is retrieved again: the script has no RETR for them.
    Check({m1, m2}, {"u1", "u2"}, {false, false});
    EXPECT_EQ(form->Messages().size(), 2u);
    EXPECT_EQ(Rows(), 2);
}

TEST_F(Intake, ChecksWithAndWithoutUidlKnowEachOthersMessages) {
    const std::string a = Crlf({"Subject: a", "Message-ID: <a>", "", "x"});
    const std::string b = Crlf({"Subject: b", "", "x"});
    const std::string c = Crlf({"Subject: c", "Message-ID: <c>", "", "x"});
    Check({a});
    // Held under its Message-ID only, a is retrieved and then found; b is new.
    Check({a, b}, {"ua", "ub"});
    Check({c, b}, {"uc", "ub"}, {true, false});
    ASSERT_EQ(form->Messages().size(), 3u);
    // Without UIDL, c is found by its Message-ID. d has none: the identifier the client kept
    // from the last UIDL (b's) is not d's and must not make it look held.
    Check({c, Crlf({"Subject: d", "", "x"})});
    ASSERT_EQ(form->Messages().size(), 4u);
    EXPECT_EQ(Held(3).Subject, "d");
    EXPECT_EQ(Held(3).MsgId, "");
    EXPECT_EQ(Held(3).Uidl, "");
}

TEST_F(Intake, MessagesWithoutAMessageIdAreAllKeptAndShownBeforeTheirDeletion) {
    const std::vector<std::string> mailbox = {Crlf({"Subject: first", "", "a"}),
                                              Crlf({"Subject: second", "", "b"}),
                                              Crlf({"Subject: third", "Message-ID: <t>", "", "c"})};
    Check(mailbox);
    ASSERT_EQ(form->Messages().size(), 3u);
    EXPECT_EQ(Held(1).Subject, "second");
    // Nothing identifies the first two: they come again as new rather than being lost.
    form->cbDeleteOnServer->setChecked(true);
    Check(mailbox);
    EXPECT_EQ(form->Messages().size(), 5u);
    EXPECT_EQ(Rows(), 5);
    EXPECT_EQ(Held(4).Subject, "second");
}

TEST_F(Intake, OnlyTheHeaderGivesTheMessageId) {
    const std::string original = Crlf({"Subject: original", "Message-ID: <o>", "", "x"});
    // A forward quoting the original's header, with and without an identity of its own.
    const std::string forward = Crlf({"Subject: forward", "Message-ID: <f>", "",
                                      "Fwd:", "Message-ID: <o>", "Subject: original"});
    const std::string anonymous = Crlf({"Subject: anonymous", "", "Message-ID: <o>"});
    // A folded identifier is not read; the message still has the key its UIDL gives.
    const std::string folded = Crlf({"Subject: folded", "Message-ID:", " <z>", "", "x"});
    Check({original, forward, anonymous, folded}, {"u1", "u2", "u3", "u4"});
    ASSERT_EQ(form->Messages().size(), 4u);
    EXPECT_EQ(Held(0).MsgId, " <o>");
    EXPECT_EQ(Held(1).MsgId, " <f>");
    EXPECT_EQ(Held(2).MsgId, "u3");
    EXPECT_EQ(Held(3).MsgId, "u4");
    EXPECT_EQ(Rows(), 4);
}

TEST_F(Intake, PartsWithoutAContentTypeAreText) {
    // A multipart part with no Content-Type; a base64 body whose text has no final line end.
    Check({Crlf({"Subject: parts", "Content-Type: multipart/mixed; boundary=B", "", "--B",
                 "Content-Transfer-Encoding: 8bit", "", "one", "two", "--B--"}),
           Crlf({"Subject: b64", "Message-ID: <b64>", "Content-Transfer-Encoding: base64", "",
                 "Zmlyc3QNCnNlY29uZA=="})});
    ASSERT_EQ(form->Messages().size(), 2u);
    EXPECT_THAT(BodyOf(Held(0)), ElementsAre("one", "two"));
    EXPECT_THAT(BodyOf(Held(1)), ElementsAre("first", "second"));
}

TEST_F(Intake, A254BytePieceNeverSplitsAUtf8Sequence) {
    const std::string e = "\xC3\xA9";            // é
    const std::string euro = "\xE2\x82\xAC";     // €
    const std::string face = "\xF0\x9F\x98\x80"; // four bytes
    const auto x = [](size_t n) { return std::string(n, 'x'); };
    const struct {
        std::string line;
        std::vector<std::string> body;
    } cases[] = {
        {x(253) + e + "z", {x(253), e + "z"}},
        {x(252) + euro, {x(252), euro}},
        {x(253) + euro, {x(253), euro}},
        {x(251) + face, {x(251), face}},
        {x(252) + face + "z", {x(252), face + "z"}},
        {x(254) + e, {x(254), e}},
        {x(252) + e, {x(252) + e, ""}},
        // Not UTF-8: a stray lead byte moves to the next line, nothing is lost.
        {x(253) + "\xE9", {x(253), "\xE9"}},
    };
    std::string text = Crlf({"Subject: long", "Content-Type: text/plain; charset=utf-8", ""});
    std::vector<std::string> body;
    for (const auto& c : cases) {
        text += c.line + "\r\n";
        body.insert(body.end(), c.body.begin(), c.body.end());
    }
    Check({text});
    ASSERT_EQ(form->Messages().size(), 1u);
    EXPECT_EQ(BodyOf(Held(0)), body);
}

TEST_F(Intake, ForwardingFollowsTheOptionsAndSkipsDroppedMessages) {
    EXPECT_FALSE(TfrmMain::ShouldForward(false, false, true));
    EXPECT_TRUE(TfrmMain::ShouldForward(true, false, false));
    EXPECT_FALSE(TfrmMain::ShouldForward(true, true, false));
    EXPECT_TRUE(TfrmMain::ShouldForward(true, true, true));

    form->FwdCheckBox->setChecked(true);
    const std::string withParts = Multipart(Crlf({"t"}));
    Check({withParts, Crlf({"Subject: plain", "Message-ID: <p>", "", "x"})});
    EXPECT_THAT(forwarded, ElementsAre("plain"));
    form->ForwardAttachCheckBox->setChecked(true);
    Check({Crlf({"Subject: plain again", "Message-ID: <p>", "", "x"}),
           Crlf({"Subject: parts 2", "Message-ID: <q>", "MIME-Version: 1.0",
                 "Content-Type: multipart/mixed; boundary=\"B\"", "", "--B",
                 "Content-Type: text/plain", "", "t", "--B",
                 "Content-Disposition: attachment; filename=\"f\"", "", "data", "--B--"})});
    EXPECT_THAT(forwarded, ElementsAre("plain", "parts 2"));
}

TEST_F(Intake, PrintOnReceivePrintsEachNewMessage) {
    QTemporaryDir out;
    TqrMail::RedirectPrinterToFolder(out.path().toStdString());
    form->PrintCheckBox->setChecked(true);
    Check({Crlf({"From: ann@example.org", "To: joe@example.org", "Subject: printed", "", "body"})});
    const QString pdf = out.path() + "/print-1.pdf";
    ASSERT_TRUE(QFile::exists(pdf));
    QProcess text;
    text.start("pdftotext", {pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(10000));
    const QString printed = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(printed.contains("Subject: printed")) << printed.toStdString();
    EXPECT_TRUE(printed.contains("body"));
    EXPECT_FALSE(QFile::exists(out.path() + "/print-2.pdf"));

    // Without a usable printer nothing is printed and intake goes on.
    if (TReport::HasUsablePrinter()) return;
    TqrMail::RedirectPrinterToFolder({});
    Check({Crlf({"Subject: no printer", "Message-ID: <np>", "", "x"})});
    ASSERT_EQ(form->Messages().size(), 2u);
    EXPECT_EQ(Held(1).Subject, "no printer");
}

} // namespace

namespace {

TEST_F(Intake, HeadersAndTextAreShownDecodedWhileTheMessageKeepsItsBytes) {
    const std::string subject = "=?utf-8?q?Gr=C3=BC=C3=9Fe?= =?koi8-r?b?8NLJ18XU?=";
    form->FwdCheckBox->setChecked(true);
    Check({Crlf({"From: =?iso-8859-1?q?Andr=E9?= <andre@example.org>", "Subject: " + subject,
                 "Message-ID: <k@example.org>", "Content-Type: multipart/mixed; boundary=b", "",
                 "--b", "Content-Type: text/plain; charset=koi8-r",
                 "Content-Transfer-Encoding: quoted-printable", "", "=F0=D2=C9=D7=C5=D4 =F7=C1=CD",
                 "--b--"})});
    ASSERT_EQ(form->Messages().size(), 1u);
    const TMailMessage& m = Held(0);
    EXPECT_EQ(m.Subject, subject);
    EXPECT_EQ(m.MsgId, " <k@example.org>");
    EXPECT_EQ(forwarded, std::vector<std::string>{subject});

    const QAbstractItemModel& rows = *form->clvMain->model();
    EXPECT_EQ(rows.data(rows.index(0, 0)).toString(),
              QString::fromUtf8("André <andre@example.org>"));
    EXPECT_EQ(rows.data(rows.index(0, 1)).toString(), QString::fromUtf8("GrüßeПривет"));

    TfrmMessage window;
    window.ShowMail(const_cast<TMailMessage*>(&m));
    EXPECT_EQ(window.LabelSubj->text(), QString::fromUtf8("GrüßeПривет"));
    EXPECT_TRUE(window.MemoText->toPlainText().contains(QString::fromUtf8("Привет Вам")))
        << window.MemoText->toPlainText().toStdString();
    const TStringList printed = TqrMail::PrintLines(m);
    EXPECT_EQ(printed[0], "From: Andr\xc3\xa9 <andre@example.org>");
    EXPECT_NE(std::find(printed.begin(), printed.end(),
                        std::string("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 "
                                    "\xd0\x92\xd0\xb0\xd0\xbc")),
              printed.end());
}

} // namespace
