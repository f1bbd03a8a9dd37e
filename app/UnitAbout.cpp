#include "app/UnitAbout.h"

#include "app/ApplicationObject.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

TfrmAbout* frmAbout = nullptr;

namespace {

// The box's designed client size; it grows when the fonts at hand need more room.
constexpr QSize kDesignedSize(251, 93);

} // namespace

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmAbout"));
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    setFont(font);
    setModal(true);

    imgIcon = new QLabel(this);
    imgIcon->setFixedSize(32, 32);
    lblApp = new QLabel(ApplicationTitle(), this);
    QFont bold = lblApp->font();
    bold.setBold(true);
    lblApp->setFont(bold);
    lblCopyright = new QLabel(QStringLiteral("A small POP3 mail checker for the tray."), this);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setMinimumSize(75, 23);
    cmdOK->setDefault(true);
    // QDialog closes on Escape by itself (reject), which makes OK the cancel button as well.
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    // A layout rather than fixed places: the substitute for the designed font is wider on
    // most desktops, and fixed places would cut the text off at the box's edge.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(10, 17, 18, 6);
    grid->setHorizontalSpacing(19);
    grid->setVerticalSpacing(5);
    grid->addWidget(imgIcon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(lblApp, 0, 1);
    grid->addWidget(lblCopyright, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    grid->addLayout(buttons, 2, 0, 1, 2, Qt::AlignBottom);
    grid->setRowStretch(2, 1);
    FitToContents();
}

void TfrmAbout::FitToContents() {
    layout()->activate();
    setFixedSize(sizeHint().expandedTo(kDesignedSize));
}

void TfrmAbout::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TfrmAbout::FormShow() {
    imgIcon->setPixmap(ApplicationIcon().pixmap(32, 32));
    setWindowTitle(QStringLiteral("About ") + ApplicationTitle());
    lblApp->setText(ApplicationTitle());
    FitToContents();
}
