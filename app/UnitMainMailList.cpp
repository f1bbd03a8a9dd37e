#include "app/UnitMain.h"

#include "ui/QtText.h"

#include <QTreeWidgetItem>

#include <algorithm>

namespace {

bool SameTextAscii(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
               };
               return lower(x) == lower(y);
           });
}

TMailMessage* MessageOfRow(const QTreeWidgetItem* item) {
    return item ? reinterpret_cast<TMailMessage*>(item->data(0, Qt::UserRole).value<quintptr>())
                : nullptr;
}

} // namespace

bool TfrmMain::IsMessageHere(const std::string& key) const {
    // An empty key identifies nothing: every message without an identity would otherwise be
    // taken for the first such one, dropped unseen and, with a delete option, deleted.
    if (key.empty()) return false;
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
        if (SameTextAscii((*it)->MsgId, key) || SameTextAscii((*it)->Uidl, key)) return true;
    return false;
}

bool TfrmMain::IsInMessageList(const TMailMessage* message) const {
    return std::any_of(messages_.begin(), messages_.end(),
                       [message](const auto& held) { return held.get() == message; });
}

void TfrmMain::AppendMessage(std::unique_ptr<TMailMessage> message) {
    TMailMessage* row = message.get();
    messages_.push_back(std::move(message));
    AddMessageRow(row);
}

void TfrmMain::AddMessageRow(TMailMessage* message) {
    auto* item = new QTreeWidgetItem(clvMain);
    item->setText(0, ToQString(message->From));
    item->setText(1, ToQString(message->Subject));
    item->setText(2, ToQString(message->Date));
    item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(message)));
}

void TfrmMain::clvMainKeyDown(TObject*, int& key, TShiftState) {
    if (key != TMailListView::VK_DELETE) return;
    const QList<QTreeWidgetItem*> selected = clvMain->selectedItems();
    if (selected.isEmpty()) return;
    QTreeWidgetItem* row = selected.first();
    TMailMessage* message = MessageOfRow(row);
    if (!IsInMessageList(message)) return;
    // The message window may be showing it; it lets go before the message is freed.
    if (frmMessage) frmMessage->MessageRemoved(message);
    messages_.erase(std::find_if(messages_.begin(), messages_.end(),
                                 [message](const auto& held) { return held.get() == message; }));
    delete row;
}

void TfrmMain::clvMainDblClick(TObject*) {
    if (!frmMessage) return;
    const QList<QTreeWidgetItem*> selected = clvMain->selectedItems();
    if (selected.isEmpty()) return;
    TMailMessage* message = MessageOfRow(selected.first());
    if (!IsInMessageList(message)) return;
    frmMessage->move(pos() + QPoint(75, 75));
    frmMessage->ShowMail(message);
}
