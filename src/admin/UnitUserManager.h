#pragma once
// Being written: replaced by the real window.
#include <QDialog>
class TfrmUserManager : public QDialog {
    Q_OBJECT
public:
    explicit TfrmUserManager(QWidget *owner) : QDialog(owner) {}
};
