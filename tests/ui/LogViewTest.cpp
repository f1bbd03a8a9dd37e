#include "ui/LogView.h"

#include "tests/support/EventLoopFixture.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

#include <memory>
#include <ostream>

// Readable failures for text positions.
void PrintTo(const TLogView::TPosition& position, std::ostream* out) {
    *out << "line " << position.line << " column " << position.column;
}

namespace {

class LogViewTest : public WidgetTest {
protected:
    void SetUp() override {
        WidgetTest::SetUp();
        owned = std::make_unique<TLogView>();
        view = owned.get();
        view->resize(300, 120);
        view->show();
    }

    void SendMouse(QEvent::Type type, QPoint at, Qt::KeyboardModifiers modifiers = {}) {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, QPointF(at), view->viewport()->mapToGlobal(QPointF(at)), button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                          modifiers);
        QApplication::sendEvent(view->viewport(), &event);
    }

    void SendKey(int key, Qt::KeyboardModifiers modifiers) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(view, &event);
    }

    // The text position at the bottom right of the view, once a deferred scroll range update
    // has run: the end of the last line when the view shows the end of the log.
    TLogView::TPosition BottomRight() {
        PumpFor(10);
        return view->PositionAt(
            QPoint(view->viewport()->width() - 1, view->viewport()->height() - 6));
    }
    TLogView::TPosition EndOfLog() const {
        const std::size_t last = view->LineCount() - 1;
        return {last, static_cast<int>(view->Line(last).size())};
    }

    std::unique_ptr<TLogView> owned;
    TLogView* view = nullptr;
};

TEST_F(LogViewTest, LineBreaksInsideAnAppendedTextMakeSeveralLinesAndTextJoinsThemWithLf) {
    view->AppendLine(QStringLiteral("one\ntwo\r\nthree\rfour"));
    view->AppendLine(QString());
    view->AppendLine(QStringLiteral("Grüße, 日本"));
    ASSERT_EQ(view->LineCount(), 6u);
    EXPECT_EQ(view->Line(2), QStringLiteral("three"));
    EXPECT_EQ(view->Line(4), QString());
    EXPECT_EQ(view->Line(5), QStringLiteral("Grüße, 日本"));
    EXPECT_EQ(view->Line(6), QString());
    EXPECT_EQ(view->Text(), QStringLiteral("one\ntwo\nthree\nfour\n\nGrüße, 日本"));

    view->Clear();
    EXPECT_EQ(view->LineCount(), 0u);
    EXPECT_EQ(view->Text(), QString());
    EXPECT_EQ(view->SelectedText(), QString());
}

TEST_F(LogViewTest, ScrollToEndBringsTheLastLineToTheBottomEvenWhenItWraps) {
    for (int i = 0; i < 200; ++i)
        view->AppendLine(QStringLiteral("line %1").arg(i));
    view->ScrollToEnd();
    EXPECT_EQ(BottomRight(), EndOfLog());
    EXPECT_GT(view->TopLine(), 150u);

    // A last line several rows high still ends inside the view.
    view->AppendLine(QString(60, QLatin1Char('w')) + QStringLiteral(" end"));
    view->ScrollToEnd();
    EXPECT_EQ(BottomRight(), EndOfLog());

    // Narrowing the view wraps more; the view stays at the end.
    view->resize(150, 120);
    EXPECT_EQ(BottomRight(), EndOfLog());

    SendKey(Qt::Key_Home, Qt::NoModifier);
    EXPECT_EQ(view->TopLine(), 0u);
    SendKey(Qt::Key_End, Qt::NoModifier);
    EXPECT_EQ(BottomRight(), EndOfLog());

    view->Clear();
    EXPECT_EQ(view->TopLine(), 0u);
    EXPECT_EQ(view->verticalScrollBar()->maximum(), 0);
}

TEST_F(LogViewTest, MouseSelectsAcrossLinesShiftExtendsAndCopyPutsTheTextOnTheClipboard) {
    view->AppendLine(QStringLiteral("alpha"));
    view->AppendLine(QStringLiteral("bravo"));
    view->AppendLine(QStringLiteral("charlie"));
    PumpFor(10);
    const int rowHeight = view->fontMetrics().lineSpacing();
    const QPoint startOfFirst(1, 4 + rowHeight / 2);
    const QPoint belowText(200, view->viewport()->height() - 2);

    SendMouse(QEvent::MouseButtonPress, startOfFirst);
    SendMouse(QEvent::MouseMove, QPoint(200, 4 + rowHeight + rowHeight / 2));
    SendMouse(QEvent::MouseButtonRelease, QPoint(200, 4 + rowHeight + rowHeight / 2));
    EXPECT_EQ(view->SelectedText(), QStringLiteral("alpha\nbravo"));

    SendMouse(QEvent::MouseButtonPress, belowText, Qt::ShiftModifier);
    EXPECT_EQ(view->SelectedText(), QStringLiteral("alpha\nbravo\ncharlie"));

    // Selecting backwards gives the same text.
    SendMouse(QEvent::MouseButtonPress, belowText);
    SendMouse(QEvent::MouseButtonPress, QPoint(1, 4 + rowHeight + rowHeight / 2),
              Qt::ShiftModifier);
    EXPECT_EQ(view->SelectedText(), QStringLiteral("bravo\ncharlie"));

    QApplication::clipboard()->setText(QStringLiteral("before"));
    SendMouse(QEvent::MouseButtonPress, startOfFirst); // an empty selection copies nothing
    SendKey(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));

    SendKey(Qt::Key_A, Qt::ControlModifier);
    SendKey(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), view->Text());
}

TEST_F(LogViewTest, KeepsTheNewestLinesUpToTheLimitAndTheSelectionMovesWithThem) {
    const std::size_t limit = TLogView::kMaxLines;
    for (std::size_t i = 0; i < limit; ++i)
        view->AppendLine(QString::number(i));
    view->SelectAll();
    // Past the limit the oldest go, line by line and through the moves of the kept text.
    for (std::size_t i = limit; i < 2 * limit + 7; ++i)
        view->AppendLine(QString::number(i));
    ASSERT_EQ(view->LineCount(), limit);
    EXPECT_EQ(view->Line(0), QString::number(limit + 7));
    EXPECT_EQ(view->Line(limit - 1), QString::number(2 * limit + 6));
    view->AppendLine("a\nb");
    EXPECT_EQ(view->LineCount(), limit);
    EXPECT_EQ(view->Line(limit - 1), "b");
    EXPECT_EQ(view->Line(0), QString::number(limit + 9));
    EXPECT_EQ(view->EndOfLog(), (TLogView::TPosition{limit - 1, 1}));
    EXPECT_TRUE(view->SelectedText().isEmpty()) << "the selected lines are gone";
}

} // namespace
