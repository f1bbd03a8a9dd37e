#pragma once

#include <QAbstractScrollArea>

#include <cstddef>
#include <string>
#include <vector>

class QTextLayout;

// A read-only multi-line text for logs that only grow: lines are kept back to back as UTF-8 in
// one block and laid out only while they are on screen. A text document would hold a block of
// a couple of hundred bytes for every line, several times the text of a long session's log.
// Long lines wrap at the view's width; the view scrolls by whole lines. Text can be selected
// with the mouse (Shift extends) and copied with the keyboard or the context menu. It keeps the
// last kMaxLines lines, so a program that runs for months stays small.
class TLogView : public QAbstractScrollArea {
public:
    explicit TLogView(QWidget* parent = nullptr);

    static constexpr std::size_t kMaxLines = 100000;

    // Appends one line; a text with line breaks (LF, CR LF or CR) becomes several lines.
    void AppendLine(const QString& text);
    void Clear();
    std::size_t LineCount() const noexcept { return ends_.size() - first_; }
    QString Line(std::size_t index) const;
    // Every line, joined by LF.
    QString Text() const;

    void ScrollToEnd();
    // The first line shown at the top of the view.
    std::size_t TopLine() const;

    void SelectAll();
    QString SelectedText() const;
    // Puts the selected text on the clipboard; nothing happens without a selection.
    void Copy() const;

    // Where a line and a character index within it sit; columns count UTF-16 units.
    struct TPosition {
        std::size_t line = 0;
        int column = 0;
        auto operator<=>(const TPosition&) const = default;
    };
    // The text position under a point of the viewport; a point below the text gives the end.
    TPosition PositionAt(QPoint point) const;
    TPosition EndOfLog() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Lays out one line at the viewport's wrapping width; returns its height in pixels.
    qreal LayOut(std::size_t line, QTextLayout& layout) const;
    qreal WrapWidth() const;
    // Recomputes the scroll range so the last line can reach the bottom edge. It lays out only
    // the lines that fit on one screen, and is deferred so a burst of appends costs one pass.
    void UpdateScrollRange();
    void ScheduleScrollRange();
    void DropOldest(std::size_t count);
    bool HasSelection() const noexcept { return anchor_ != cursor_; }
    std::pair<TPosition, TPosition> OrderedSelection() const;
    // The selected columns [first, second) of a line with the given text; empty when none.
    std::pair<int, int> SelectedColumns(std::size_t line, const QString& text) const;

    std::string text_;
    std::vector<std::size_t> ends_; // end offset in text_ of each line
    std::size_t first_ = 0; // ends_[first_] ends the oldest line kept; those before are dropped
    TPosition anchor_;
    TPosition cursor_;
    bool followEnd_ = false;
    bool rangeScheduled_ = false;
};
