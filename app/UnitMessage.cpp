#include "app/UnitMessage.h"

#include "app/MessageText.h"
#include "app/UnitQRMail.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <algorithm>

#include <stdexcept>

TfrmMessage* frmMessage = nullptr;

void TLineList::Add(std::string_view line) {
    // Offsets are 32-bit: a list never holds more than 4 GB, which no message reaches.
    if (line.size() > UINT32_MAX - text_.size()) throw std::length_error("message too large");
    text_.append(line);
    ends_.push_back(static_cast<std::uint32_t>(text_.size()));
}

std::string_view TLineList::View(int index) const {
    const std::uint32_t end = ends_.at(static_cast<size_t>(index));
    const std::uint32_t begin = index == 0 ? 0 : ends_[static_cast<size_t>(index) - 1];
    return std::string_view(text_).substr(begin, end - begin);
}

void TLineList::Clear() noexcept {
    text_.clear();
    ends_.clear();
}

void TLineList::ShrinkToFit() {
    text_.shrink_to_fit();
    ends_.shrink_to_fit();
}

void TLineList::ShrinkToFit(TLineList& spare) {
    constexpr std::size_t kSpareLimit = 1 << 20;
    TLineList exact;
    exact.text_ = std::string(text_);
    exact.ends_ = std::vector<std::uint32_t>(ends_.begin(), ends_.end());
    spare = std::move(*this);
    spare.Clear();
    if (spare.text_.capacity() > kSpareLimit) spare = TLineList();
    *this = std::move(exact);
}

namespace {

QLabel* HeaderLabel(QWidget* parent, const char* text, int top) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(8, top, 52, 14);
    return label;
}

QLabel* ValueLabel(QWidget* parent, int top) {
    auto* label = new QLabel(parent);
    label->setGeometry(72, top, 330, 14);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TfrmMessage::TfrmMessage(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmMessage"));
    setWindowTitle(QStringLiteral("Message"));
    // Tahoma is rarely installed off Windows; the metric-compatible sans fonts keep the
    // captions within the fixed layout where the default sans font would be too wide.
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    setFont(font);
    resize(491, 261);

    PanelHeader = new QWidget(this);
    PanelHeader->setGeometry(0, 0, 491, 57);
    Label1 = HeaderLabel(PanelHeader, "From:", 8);
    Label2 = HeaderLabel(PanelHeader, "To:", 24);
    Label3 = HeaderLabel(PanelHeader, "Subject:", 40);
    LabelFrom = ValueLabel(PanelHeader, 8);
    LabelTo = ValueLabel(PanelHeader, 24);
    LabelSubj = ValueLabel(PanelHeader, 40);

    MemoText = new QPlainTextEdit(this);
    MemoText->setReadOnly(true);
    MemoText->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont fixed(QStringLiteral("Courier New"));
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setPixelSize(11);
    MemoText->setFont(fixed);
    MemoText->setGeometry(0, 57, 401, 204);

    btnPreview = new QPushButton(QStringLiteral("Pre&view"), this);
    btnPrint = new QPushButton(QStringLiteral("&Print"), this);
    btnClose = new QPushButton(QStringLiteral("C&lose"), this);
    btnPreview->setGeometry(409, 56, 75, 25);
    btnPrint->setGeometry(409, 88, 75, 25);
    btnClose->setGeometry(409, 120, 75, 25);
    btnClose->setDefault(true);
    connect(btnPreview, &QPushButton::clicked, this, [this] { btnPreviewClick(); });
    connect(btnPrint, &QPushButton::clicked, this, [this] { btnPrintClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });
}

void TfrmMessage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The header spans the width, the text follows the window on all sides and the buttons
    // keep their distance from the right edge, as at the design size of 491 x 261.
    const int w = event->size().width();
    const int h = event->size().height();
    PanelHeader->setGeometry(0, 0, w, 57);
    MemoText->setGeometry(0, 57, std::max(0, w - 90), std::max(0, h - 57));
    for (QPushButton* b : {btnPreview, btnPrint, btnClose})
        b->move(w - 82, b->y());
}

void TfrmMessage::ShowMail(TMailMessage* message) {
    if (!message) return;
    shownMessage_ = message;
    LabelFrom->setText(HeaderText(message->From));
    LabelTo->setText(HeaderText(message->To));
    LabelSubj->setText(HeaderText(message->Subject));
    const QStringList text = BodyText(message->Body, message->CharSet);
    // Text lines come without their line ends; a line end inside a line is one line break.
    QString joined = text.join(QLatin1Char('\n'));
    joined.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    MemoText->setPlainText(joined);
    show();
    raise();
}

void TfrmMessage::MessageRemoved(const TMailMessage* message) {
    if (message && message == shownMessage_) {
        shownMessage_ = nullptr;
        LabelFrom->clear();
        LabelTo->clear();
        LabelSubj->clear();
        MemoText->clear();
        hide();
    }
}

void TfrmMessage::btnCloseClick() {
    shownMessage_ = nullptr;
    hide();
}

void TfrmMessage::btnPreviewClick() {
    if (!shownMessage_) return;
    TqrMail report;
    report.SetMailLines(*shownMessage_);
    report.Preview();
}

void TfrmMessage::btnPrintClick() {
    if (!shownMessage_) return;
    TqrMail report;
    report.SetMailLines(*shownMessage_);
    report.Print();
}
