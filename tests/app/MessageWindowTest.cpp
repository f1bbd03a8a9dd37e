#include "app/UnitMain.h"
#include "app/UnitMessage.h"
#include "app/UnitQRMail.h"
#include "ui/ApplicationErrors.h"

#include "tests/support/EventLoopFixture.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

namespace {

std::unique_ptr<TMailMessage> Mail(const std::string& from, const std::string& subject,
                                   std::initializer_list<std::string> body) {
    auto m = std::make_unique<TMailMessage>();
    m->From = from;
    m->To = "joe@example.org";
    m->Subject = subject;
    for (const std::string& line : body)
        m->Body.Add(line);
    return m;
}

// Runs pdftotext over the file; with bbox the words come with their positions in points.
QString PdfText(const QString& pdf, bool bbox = false) {
    QProcess p;
    QStringList args;
    if (bbox) args << "-bbox";
    p.start("pdftotext", args << pdf << "-");
    if (!p.waitForFinished(20000)) return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

class MessageWindow : public WidgetTest {
protected:
    QTemporaryDir dir;
    QTemporaryDir printed;
    std::unique_ptr<TfrmMain> form;
    std::unique_ptr<TfrmMessage> window;

    void SetUp() override {
        WidgetTest::SetUp();
        TfrmMain::OverrideSettingsFile(dir.path().toStdString() + "/postlark.ini");
        TqrMail::RedirectPrinterToFolder(printed.path().toStdString());
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
        form = std::make_unique<TfrmMain>();
        window = std::make_unique<TfrmMessage>();
        frmMessage = window.get();
        form->AppendMessage(Mail("Ann <ann@example.org>", "Lunch", {"a", "\r\n", "b"}));
        form->AppendMessage(Mail("Bob <bob@example.org>", "Re: Lunch", {"yes"}));
        form->ShowMainWindow(true);
        form->move(100, 60);
    }
    void TearDown() override {
        frmMessage = nullptr;
        form.reset();
        window.reset();
        TfrmMain::OverrideSettingsFile({});
        TqrMail::RedirectPrinterToFolder({});
        SetEscapedExceptionHandler(nullptr);
    }
    void DoubleClickRow(int row) {
        form->clvMain->clearSelection();
        if (row >= 0) form->clvMain->SelectRow(row);
        QWidget* viewport = form->clvMain->viewport();
        const QPointF at = row >= 0 ? QPointF(form->clvMain->RowRect(row).center())
                                    : QPointF(5, viewport->height() - 5);
        QMouseEvent press(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &press);
    }
    QStringList Printouts() const { return QDir(printed.path()).entryList({"*.pdf"}); }
};

TEST_F(MessageWindow, DoubleClickShowsTheRowsMessageBesideTheMainWindow) {
    DoubleClickRow(0);
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(window->ShownMessage(), form->Messages()[0].get());
    EXPECT_EQ(window->pos(), form->pos() + QPoint(75, 75));
    EXPECT_EQ(window->LabelFrom->text(), "Ann <ann@example.org>");
    EXPECT_EQ(window->LabelTo->text(), "joe@example.org");
    EXPECT_EQ(window->LabelSubj->text(), "Lunch");
    EXPECT_EQ(window->MemoText->toPlainText(), "a\n\n\nb");

    // The open window is reused for the next message.
    window->move(300, 300);
    DoubleClickRow(1);
    EXPECT_EQ(window->ShownMessage(), form->Messages()[1].get());
    EXPECT_EQ(window->pos(), form->pos() + QPoint(75, 75));
    EXPECT_EQ(window->LabelSubj->text(), "Re: Lunch");
    EXPECT_EQ(window->MemoText->toPlainText(), "yes");

    window->btnClose->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ShownMessage(), nullptr);
    DoubleClickRow(1);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->ShownMessage(), form->Messages()[1].get());
}

TEST_F(MessageWindow, DoubleClickWithoutASelectionOpensNothing) {
    DoubleClickRow(-1);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ShownMessage(), nullptr);
}

TEST_F(MessageWindow, PrintAndPreviewOfTheShownMessage) {
    DoubleClickRow(0);
    window->btnPrint->click();
    ASSERT_EQ(Printouts(), QStringList({"print-1.pdf"}));
    const QString text = PdfText(printed.path() + "/print-1.pdf");
    EXPECT_TRUE(text.contains(QRegularExpression("From: Ann <ann@example.org>\\s+To: "
                                                 "joe@example.org\\s+Subject: Lunch\\s+a\\s+b")))
        << text.toStdString();

    // The preview is modal; it is closed from the event loop it runs.
    bool shown = false;
    QTimer::singleShot(200, [&] {
        if (QWidget* preview = QApplication::activeModalWidget()) {
            shown = true;
            preview->close();
        }
    });
    window->btnPreview->click();
    EXPECT_TRUE(shown);
    EXPECT_EQ(Printouts().size(), 1) << "a preview prints nothing";
}

// The window must let go of a message deleted from the list while it is shown (run under
// AddressSanitizer, a use of the freed message fails the test).
TEST_F(MessageWindow, DeletingTheShownMessageClosesTheWindowAndPrintsNothing) {
    DoubleClickRow(0);
    form->clvMain->SelectRow(0);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QCoreApplication::sendEvent(form->clvMain, &del);
    ASSERT_EQ(form->Messages().size(), 1u);
    EXPECT_EQ(window->ShownMessage(), nullptr);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->LabelFrom->text().isEmpty());
    window->btnPrintClick();
    window->btnPreviewClick();
    EXPECT_TRUE(Printouts().isEmpty());

    // A window closed with its close box still refers to its message; deleting it lets go too.
    DoubleClickRow(0);
    window->close();
    EXPECT_NE(window->ShownMessage(), nullptr);
    form->clvMain->SelectRow(0);
    QCoreApplication::sendEvent(form->clvMain, &del);
    EXPECT_EQ(window->ShownMessage(), nullptr);
    window->btnPrintClick();
    EXPECT_TRUE(Printouts().isEmpty());
}

class MailReport : public WidgetTest {
protected:
    QTemporaryDir dir;
    QString pdf = dir.path() + "/mail.pdf";
    int Print(const TMailMessage& m) {
        TqrMail report;
        report.SetMailLines(m);
        return report.PrintToPdf(pdf.toStdString());
    }
};

TEST_F(MailReport, HeaderLinesEvenWhenEmpty) {
    auto m = Mail("Ann", "", {"body"});
    m->To.clear();
    ASSERT_EQ(Print(*m), 1);
    EXPECT_TRUE(PdfText(pdf).contains(QRegularExpression("From: Ann\\s+To:\\s+Subject:\\s+body")))
        << PdfText(pdf).toStdString();
}

TEST_F(MailReport, LongLinesWrapWithinTheMargins) {
    std::string words;
    while (words.size() < 2000)
        words += "wrapping ";
    auto m = Mail("Ann", "long", {words, std::string(300, 'Z'), "after"});
    ASSERT_EQ(Print(*m), 1);
    // A4 is 595.3 points wide; 20 mm margins are 56.7 points.
    const QString boxes = PdfText(pdf, true);
    const QRegularExpression word("<word xMin=\"([0-9.]+)\" yMin=\"[0-9.]+\" xMax=\"([0-9.]+)\"");
    int count = 0;
    for (auto it = word.globalMatch(boxes); it.hasNext(); ++count) {
        const auto match = it.next();
        EXPECT_GE(match.captured(1).toDouble(), 56.0);
        EXPECT_LE(match.captured(2).toDouble(), 539.5);
    }
    EXPECT_GT(count, 200);
    EXPECT_EQ(PdfText(pdf).count("wrapping"), static_cast<int>(words.size() / 9));
    EXPECT_EQ(PdfText(pdf).count('Z'), 300);
}

TEST_F(MailReport, ALongMessageSpansSeveralPages) {
    auto m = Mail("Ann", "many lines", {});
    for (int i = 1; i <= 300; ++i)
        m->Body.Add("line " + std::to_string(i));
    const int pages = Print(*m);
    // About 48 bands of 5.56 mm fit between the margins of a page.
    EXPECT_GE(pages, 6);
    EXPECT_LE(pages, 8);
    const QString text = PdfText(pdf);
    EXPECT_TRUE(text.contains("line 1\n"));
    EXPECT_TRUE(text.contains("line 300"));
    EXPECT_EQ(text.count('\f'), pages);
}

} // namespace
