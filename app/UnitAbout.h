#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The About box, shown modally by the main window's About button.
class TfrmAbout : public QDialog {
public:
    explicit TfrmAbout(QWidget* parent = nullptr);

    QLabel* imgIcon = nullptr;
    QLabel* lblApp = nullptr;
    QLabel* lblCopyright = nullptr;
    QPushButton* cmdOK = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    // Sizes the box to what its texts need in the fonts at hand, at least its designed size.
    void FitToContents();
};

// The one About box of the program, created at start.
extern TfrmAbout* frmAbout;
