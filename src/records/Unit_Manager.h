#pragma once
// Being written: replaced by the real window.
#include <QDialog>
class Tfrm_Manager : public QDialog {
    Q_OBJECT
public:
    Tfrm_Manager(QWidget *owner, const QString &) : QDialog(owner) {}
};
