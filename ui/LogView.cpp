#include "ui/LogView.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <climits>

namespace {

// Room between the frame and the text, as a text document leaves it.
constexpr int kMargin = 4;

int ClampToInt(std::size_t value) {
    return static_cast<int>(std::min<std::size_t>(value, INT_MAX));
}

// A line's length as a column number.
int Columns(const QString& text) {
    return ClampToInt(static_cast<std::size_t>(text.size()));
}

} // namespace

TLogView::TLogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setRange(0, 0);
}

void TLogView::AppendLine(const QString& text) {
    const QStringView view(text);
    qsizetype start = 0;
    for (qsizetype i = 0; i <= view.size(); ++i) {
        if (i < view.size() && view[i] != u'\n' && view[i] != u'\r') continue;
        const QByteArray bytes = view.mid(start, i - start).toUtf8();
        text_.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        ends_.push_back(text_.size());
        if (i + 1 < view.size() && view[i] == u'\r' && view[i + 1] == u'\n') ++i;
        start = i + 1;
    }
    if (LineCount() > kMaxLines) DropOldest(LineCount() - kMaxLines);
    ScheduleScrollRange();
    viewport()->update();
}

void TLogView::DropOldest(std::size_t count) {
    first_ += count;
    // Positions count from the first kept line, so they move up with the text.
    for (TPosition* position : {&anchor_, &cursor_})
        *position = position->line >= count ? TPosition{position->line - count, position->column}
                                            : TPosition{};
    QScrollBar* bar = verticalScrollBar();
    if (bar->value() >= bar->maximum())
        followEnd_ = true;
    else
        bar->setValue(std::max(0, bar->value() - ClampToInt(count)));
    // The dropped lines' bytes go in one move once they are as many as half the kept ones, so
    // each appended line pays a constant share of the moving.
    if (first_ < kMaxLines / 2) return;
    const std::size_t base = ends_[first_ - 1];
    text_.erase(0, base);
    ends_.erase(ends_.begin(), ends_.begin() + static_cast<std::ptrdiff_t>(first_));
    for (std::size_t& end : ends_)
        end -= base;
    first_ = 0;
}

void TLogView::Clear() {
    std::string().swap(text_);
    std::vector<std::size_t>().swap(ends_);
    first_ = 0;
    anchor_ = cursor_ = {};
    verticalScrollBar()->setRange(0, 0);
    viewport()->update();
}

QString TLogView::Line(std::size_t index) const {
    if (index >= LineCount()) return {};
    const std::size_t at = first_ + index;
    const std::size_t start = at == 0 ? 0 : ends_[at - 1];
    return QString::fromUtf8(text_.data() + start, static_cast<qsizetype>(ends_[at] - start));
}

QString TLogView::Text() const {
    QString result;
    result.reserve(static_cast<qsizetype>(text_.size() + LineCount()));
    for (std::size_t i = 0; i < LineCount(); ++i) {
        if (i > 0) result += u'\n';
        result += Line(i);
    }
    return result;
}

void TLogView::ScrollToEnd() {
    followEnd_ = true;
    ScheduleScrollRange();
}

std::size_t TLogView::TopLine() const {
    return static_cast<std::size_t>(std::max(0, verticalScrollBar()->value()));
}

void TLogView::SelectAll() {
    anchor_ = {};
    cursor_ = EndOfLog();
    viewport()->update();
}

std::pair<TLogView::TPosition, TLogView::TPosition> TLogView::OrderedSelection() const {
    return anchor_ < cursor_ ? std::pair{anchor_, cursor_} : std::pair{cursor_, anchor_};
}

std::pair<int, int> TLogView::SelectedColumns(std::size_t line, const QString& text) const {
    const auto [from, to] = OrderedSelection();
    if (!HasSelection() || line < from.line || line > to.line) return {0, 0};
    return {line == from.line ? from.column : 0, line == to.line ? to.column : Columns(text)};
}

QString TLogView::SelectedText() const {
    if (!HasSelection()) return {};
    const auto [from, to] = OrderedSelection();
    QString result;
    for (std::size_t line = from.line; line <= to.line && line < LineCount(); ++line) {
        const QString text = Line(line);
        const auto [start, end] = SelectedColumns(line, text);
        if (line > from.line) result += u'\n';
        result += text.mid(start, std::max(0, end - start));
    }
    return result;
}

void TLogView::Copy() const {
    if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

qreal TLogView::WrapWidth() const {
    return std::max(1, viewport()->width() - 2 * kMargin);
}

qreal TLogView::LayOut(std::size_t line, QTextLayout& layout) const {
    layout.clearLayout();
    layout.setText(Line(line));
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const qreal spacing = fontMetrics().lineSpacing();
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLineWidth(WrapWidth());
        row.setPosition(QPointF(0, height));
        height += std::max(spacing, row.height());
    }
    layout.endLayout();
    return std::max(spacing, height);
}

void TLogView::ScheduleScrollRange() {
    // A hidden view catches up when it is shown.
    if (rangeScheduled_ || !isVisible()) return;
    rangeScheduled_ = true;
    QMetaObject::invokeMethod(
        this, [this] { UpdateScrollRange(); }, Qt::QueuedConnection);
}

void TLogView::UpdateScrollRange() {
    rangeScheduled_ = false;
    QScrollBar* bar = verticalScrollBar();
    const bool toEnd = followEnd_ || bar->value() >= bar->maximum();
    followEnd_ = false;
    const qreal room = viewport()->height() - 2 * kMargin;
    // The highest top line is the one from which the remaining lines just fit; the last line is
    // always reachable even when it alone is taller than the view.
    std::size_t first = LineCount();
    qreal used = 0;
    QTextLayout layout;
    while (first > 0) {
        const qreal height = LayOut(first - 1, layout);
        if (used + height > room && first < LineCount()) break;
        used += height;
        --first;
    }
    bar->setRange(0, ClampToInt(first));
    bar->setPageStep(std::max(1, static_cast<int>(room / fontMetrics().lineSpacing())));
    if (toEnd) bar->setValue(bar->maximum());
}

void TLogView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    QTextLayout layout;
    qreal y = kMargin;
    for (std::size_t line = TopLine(); line < LineCount() && y < viewport()->height(); ++line) {
        const qreal height = LayOut(line, layout);
        if (y + height >= event->rect().top()) {
            QList<QTextLayout::FormatRange> selections;
            const auto [start, end] = SelectedColumns(line, layout.text());
            if (end > start) {
                QTextLayout::FormatRange range;
                range.start = start;
                range.length = end - start;
                range.format.setBackground(palette().highlight());
                range.format.setForeground(palette().highlightedText());
                selections.append(range);
            }
            layout.draw(&painter, QPointF(kMargin, y), selections);
        }
        y += height;
    }
}

TLogView::TPosition TLogView::EndOfLog() const {
    if (LineCount() == 0) return {};
    return {LineCount() - 1, Columns(Line(LineCount() - 1))};
}

TLogView::TPosition TLogView::PositionAt(QPoint point) const {
    QTextLayout layout;
    qreal y = kMargin;
    for (std::size_t line = TopLine(); line < LineCount(); ++line) {
        const qreal height = LayOut(line, layout);
        const bool last = line + 1 == LineCount() || y + height >= viewport()->height();
        if (point.y() >= y + height && !last) {
            y += height;
            continue;
        }
        if (point.y() >= y + height) return {line, Columns(layout.text())};
        for (int i = 0; i < layout.lineCount(); ++i) {
            const QTextLine row = layout.lineAt(i);
            if (point.y() < y + row.y() + row.height() || i + 1 == layout.lineCount())
                return {line, row.xToCursor(point.x() - kMargin)};
        }
    }
    return EndOfLog();
}

void TLogView::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    UpdateScrollRange();
}

void TLogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollRange();
}

void TLogView::scrollContentsBy(int, int) {
    viewport()->update();
}

void TLogView::keyPressEvent(QKeyEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    if (event == QKeySequence::Copy) {
        Copy();
    } else if (event == QKeySequence::SelectAll) {
        SelectAll();
    } else if (event->key() == Qt::Key_Home) {
        bar->setValue(bar->minimum());
    } else if (event->key() == Qt::Key_End) {
        bar->setValue(bar->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const TPosition at = PositionAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = at;
    cursor_ = at;
    viewport()->update();
}

void TLogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return;
    const QPoint point = event->position().toPoint();
    // Dragging past an edge scrolls on, a line per move.
    if (point.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (point.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    cursor_ = PositionAt(point);
    viewport()->update();
}

void TLogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { Copy(); });
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(HasSelection());
    QAction* all = menu.addAction(tr("Select &All"), this, [this] { SelectAll(); });
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(LineCount() > 0);
    menu.exec(event->globalPos());
}

void TLogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        ScheduleScrollRange();
}
