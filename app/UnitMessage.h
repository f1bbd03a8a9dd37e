#pragma once

#include "ui/StringList.h"

#include <QWidget>

#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// One held message. Owned by the main window's list once appended to it.
class TMailMessage {
public:
    TMailMessage() = default;
    TMailMessage(const TMailMessage&) = delete;
    TMailMessage& operator=(const TMailMessage&) = delete;

    std::string From;
    std::string To;
    std::string Subject;
    std::string ReturnPath; // without its angle brackets
    std::string Date;       // as the header gives it, unparsed
    std::string MsgId;      // identity key compared by IsMessageHere
    bool HasAttachment = false;
    TStringList Body;     // decoded text lines
    TStringList RawLines; // the message as received, without line ends
};

// The message window: sender, recipient and subject above the decoded text, with buttons to
// preview, print and close. Created once at start and hidden until a message is opened.
class TfrmMessage : public QWidget {
public:
    explicit TfrmMessage(QWidget* parent = nullptr);

    // The message on display, or none. Not owned: the main window's list owns it.
    TMailMessage* ShownMessage() const noexcept { return shownMessage_; }
    // Shows the message's sender, recipient, subject and text, without making the window modal.
    void ShowMail(TMailMessage* message);
    // Told by the list before a message is destroyed, so the window never uses a freed one:
    // the window lets go of it and closes.
    void MessageRemoved(const TMailMessage* message);

    // The report of the shown message: previewed (returns when the preview closes) or printed
    // on the default printer. Without a shown message nothing happens.
    void btnPreviewClick();
    void btnPrintClick();
    void btnCloseClick();

    QWidget* PanelHeader = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* LabelFrom = nullptr;
    QLabel* LabelTo = nullptr;
    QLabel* LabelSubj = nullptr;
    QPlainTextEdit* MemoText = nullptr;
    QPushButton* btnPreview = nullptr;
    QPushButton* btnPrint = nullptr;
    QPushButton* btnClose = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    TMailMessage* shownMessage_ = nullptr;
};

// The one message window of the program, created at start.
extern TfrmMessage* frmMessage;
