#pragma once

#include "app/CoolTools.h"
#include "app/MessageIndex.h"
#include "app/UnitMessage.h"
#include "ui/Component.h"
#include "ui/UpdateThrottle.h"

#include <QAbstractTableModel>
#include <QTreeView>

#include <functional>
#include <memory>
#include <vector>

// The mail list: the held messages in order of arrival, the index of their identity keys, and
// the table the list view shows (From, Subject, Date), all changed together. New messages join
// the list and the index at once; their rows join the table in batches, at most one batch per
// period, because each batch makes the view lay out all its rows again. The table's rows are
// always the first messages of the list, in the same order.
class TMailListModel : public QAbstractTableModel {
public:
    explicit TMailListModel(int batchPeriodMs = 50);

    const std::vector<std::unique_ptr<TMailMessage>>& Messages() const noexcept {
        return messages_;
    }
    // Appends the message; the list owns it from now on.
    void Append(std::unique_ptr<TMailMessage> message);
    // Removes and destroys the message of a row of the table.
    void RemoveRow(int row);
    void Clear();
    // True when a message is held under the key, ignoring the case of ASCII letters; never for
    // an empty key.
    bool IsHeld(const std::string& key) const { return index_.Contains(key); }
    bool Contains(const TMailMessage* message) const;
    // The message of a row of the table, or none.
    TMailMessage* MessageOfRow(int row) const;
    // Puts the rows of messages appended since the last batch into the table now.
    void FlushRows() { rows_.Flush(); }
    const TMessageIndex& Index() const noexcept { return index_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void InsertPendingRows();

    std::vector<std::unique_ptr<TMailMessage>> messages_;
    TMessageIndex index_;
    int shownRows_ = 0;
    TUpdateThrottle rows_;
};

// The report-style list view of the mail list, with the key and double-click events the main
// window binds.
class TMailListView : public QTreeView {
public:
    explicit TMailListView(QWidget* parent = nullptr);
    void SetMailList(TMailListModel* list);
    // Key is the platform's virtual key code (46 for Delete); the key is passed on as it is.
    std::function<void(TObject*, int&, TShiftState)> OnKeyDown;
    std::function<void(TObject*)> OnDblClick;
    static constexpr int VK_DELETE = 46;

    // The selected row, or -1.
    int SelectedRow() const;
    // Rows as the user sees them once pending rows are in; for the program's own checks.
    int RowCount() const;
    QString RowText(int row, int column) const;
    void SelectRow(int row);
    QRect RowRect(int row) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    TMailListModel* list_ = nullptr;
};
