#include "app/UnitAbout.h"

#include "app/ApplicationObject.h"

#include <QLabel>
#include <QPushButton>

TfrmAbout* frmAbout = nullptr;

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmAbout"));
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    setFont(font);
    setFixedSize(251, 93);
    setModal(true);

    imgIcon = new QLabel(this);
    imgIcon->setGeometry(10, 18, 32, 32);
    lblApp = new QLabel(this);
    lblApp->move(61, 17);
    QFont bold = lblApp->font();
    bold.setBold(true);
    lblApp->setFont(bold);
    lblCopyright = new QLabel(QStringLiteral("A small POP3 mail checker for the tray."), this);
    lblCopyright->move(61, 35);
    lblCopyright->adjustSize();
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(158, 64, 75, 23);
    cmdOK->setDefault(true);
    // QDialog closes on Escape by itself (reject), which makes OK the cancel button as well.
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TfrmAbout::FormShow() {
    imgIcon->setPixmap(ApplicationIcon().pixmap(32, 32));
    setWindowTitle(QStringLiteral("About ") + ApplicationTitle());
    lblApp->setText(ApplicationTitle());
    lblApp->adjustSize();
}
