#include "app/MailListModel.h"

#include "app/MessageText.h"
#include "ui/QtText.h"

#include <QKeyEvent>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<const char*, 3> kColumns = {"From", "Subject", "Date"};

} // namespace

TMailListModel::TMailListModel(int batchPeriodMs)
    : rows_(batchPeriodMs, [this] { InsertPendingRows(); }) {}

void TMailListModel::Append(std::unique_ptr<TMailMessage> message) {
    // A message retrieved after UIDL is held under its identifier too, so the next check can
    // skip it before retrieving it.
    index_.Add(message->MsgId);
    index_.Add(message->Uidl);
    messages_.push_back(std::move(message));
    rows_.Request();
}

void TMailListModel::InsertPendingRows() {
    const int held = static_cast<int>(messages_.size());
    if (held <= shownRows_) return;
    beginInsertRows({}, shownRows_, held - 1);
    shownRows_ = held;
    endInsertRows();
}

void TMailListModel::RemoveRow(int row) {
    if (row < 0 || row >= shownRows_) return;
    beginRemoveRows({}, row, row);
    const auto at = messages_.begin() + row;
    index_.Remove((*at)->MsgId);
    index_.Remove((*at)->Uidl);
    messages_.erase(at);
    --shownRows_;
    endRemoveRows();
}

void TMailListModel::Clear() {
    beginResetModel();
    rows_.Cancel();
    messages_.clear();
    index_.Clear();
    shownRows_ = 0;
    endResetModel();
}

bool TMailListModel::Contains(const TMailMessage* message) const {
    return message && std::any_of(messages_.begin(), messages_.end(),
                                  [message](const auto& held) { return held.get() == message; });
}

TMailMessage* TMailListModel::MessageOfRow(int row) const {
    return row >= 0 && row < shownRows_ ? messages_[static_cast<size_t>(row)].get() : nullptr;
}

int TMailListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int TMailListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kColumns.size());
}

QVariant TMailListModel::data(const QModelIndex& index, int role) const {
    // Texts are made when a row is drawn: a held copy of every row's texts would cost more
    // memory than the headers they come from.
    const TMailMessage* message = MessageOfRow(index.row());
    if (!message || role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case 0:
        return HeaderText(message->From);
    case 1:
        return HeaderText(message->Subject);
    case 2:
        return ToQString(message->Date);
    default:
        return {};
    }
}

QVariant TMailListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(kColumns.size()))
        return {};
    return QString::fromLatin1(kColumns[static_cast<size_t>(section)]);
}

TMailListView::TMailListView(QWidget* parent) : QTreeView(parent) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    // Every row has the one height of a line of text, so the view need not measure each row.
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSortingEnabled(false);
}

void TMailListView::SetMailList(TMailListModel* list) {
    list_ = list;
    setModel(list);
}

int TMailListView::SelectedRow() const {
    const QModelIndexList rows =
        selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? -1 : rows.first().row();
}

int TMailListView::RowCount() const {
    if (!list_) return 0;
    list_->FlushRows();
    return list_->rowCount();
}

QString TMailListView::RowText(int row, int column) const {
    if (!list_) return {};
    list_->FlushRows();
    return list_->index(row, column).data().toString();
}

void TMailListView::SelectRow(int row) {
    if (!list_) return;
    list_->FlushRows();
    selectionModel()->select(list_->index(row, 0),
                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QRect TMailListView::RowRect(int row) const {
    if (!list_) return {};
    list_->FlushRows();
    return visualRect(list_->index(row, 0));
}

void TMailListView::keyPressEvent(QKeyEvent* event) {
    int key = event->key() == Qt::Key_Delete ? VK_DELETE : event->key();
    if (OnKeyDown) OnKeyDown(nullptr, key, 0);
    QTreeView::keyPressEvent(event);
}

void TMailListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    if (OnDblClick) OnDblClick(nullptr);
}
