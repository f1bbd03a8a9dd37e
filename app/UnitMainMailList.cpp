#include "app/UnitMain.h"

bool TfrmMain::IsMessageHere(const std::string& key) const {
    return mailList_->IsHeld(key);
}

bool TfrmMain::IsInMessageList(const TMailMessage* message) const {
    return mailList_->Contains(message);
}

void TfrmMain::AppendMessage(std::unique_ptr<TMailMessage> message) {
    mailList_->Append(std::move(message));
}

void TfrmMain::clvMainKeyDown(TObject*, int& key, TShiftState) {
    if (key != TMailListView::VK_DELETE) return;
    const int row = clvMain->SelectedRow();
    TMailMessage* message = mailList_->MessageOfRow(row);
    if (!IsInMessageList(message)) return;
    // The message window may be showing it; it lets go before the message is freed.
    if (frmMessage) frmMessage->MessageRemoved(message);
    mailList_->RemoveRow(row);
}

void TfrmMain::clvMainDblClick(TObject*) {
    if (!frmMessage) return;
    TMailMessage* message = mailList_->MessageOfRow(clvMain->SelectedRow());
    if (!IsInMessageList(message)) return;
    frmMessage->move(pos() + QPoint(75, 75));
    frmMessage->ShowMail(message);
}
