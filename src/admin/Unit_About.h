#pragma once
// Being written: replaced by the real window.
#include <QDialog>
class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *owner) : QDialog(owner) {}
};
