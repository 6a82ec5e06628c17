#pragma once
// Being written: replaced by the real window.
#include <QDialog>
class TfrmLogin : public QDialog {
    Q_OBJECT
public:
    explicit TfrmLogin(QWidget *owner) : QDialog(owner) {}
};
