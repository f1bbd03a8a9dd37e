#pragma once

#include <QWidget>

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The lines of one message, kept in one block of text with the end of each line: a message
// has many short lines, and a string object per line would cost more memory than its text.
class TLineList {
public:
    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;
        const_iterator() = default;
        const_iterator(const TLineList* list, int index) : list_(list), index_(index) {}
        std::string_view operator*() const { return list_->View(index_); }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        const_iterator operator++(int) {
            auto old = *this;
            ++index_;
            return old;
        }
        const_iterator& operator--() {
            --index_;
            return *this;
        }
        const_iterator& operator+=(difference_type n) {
            index_ += static_cast<int>(n);
            return *this;
        }
        const_iterator operator+(difference_type n) const {
            auto c = *this;
            return c += n;
        }
        difference_type operator-(const const_iterator& other) const {
            return index_ - other.index_;
        }
        std::string_view operator[](difference_type n) const { return *(*this + n); }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }
        auto operator<=>(const const_iterator& other) const { return index_ <=> other.index_; }

    private:
        const TLineList* list_ = nullptr;
        int index_ = 0;
    };

    int Count() const noexcept { return static_cast<int>(ends_.size()); }
    void Add(std::string_view line);
    std::string_view View(int index) const;
    std::string operator[](int index) const { return std::string(View(index)); }
    void Clear() noexcept;
    // Gives back the room kept for growth, once the list is complete.
    void ShrinkToFit();
    // Moves the lines into storage of their exact size and hands the room they grew in to
    // spare (emptied), for the next list to grow into. A list that grows step by step frees a
    // block at every step and copies its text each time; growing in reused room costs one
    // exact allocation per list instead. Room above a megabyte is not handed on but freed.
    void ShrinkToFit(TLineList& spare);
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, Count()}; }

private:
    std::string text_;
    std::vector<std::uint32_t> ends_; // end of each line in text_
};

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
    // The server's unique identifier when the message was retrieved after a UIDL; empty
    // otherwise. Lets the next check skip the message before retrieving it, even when MsgId
    // holds its Message-ID.
    std::string Uidl;
    std::string CharSet;    // of the text, from the header or the text part; may be empty
    bool HasAttachment = false;
    TLineList Body;     // decoded text lines
    TLineList RawLines; // the message as received, without line ends
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
