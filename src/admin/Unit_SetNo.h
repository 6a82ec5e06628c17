#pragma once
// Being written: replaced by the real window.
#include <QDialog>
class Tfrm_SetNo : public QDialog {
    Q_OBJECT
public:
    Tfrm_SetNo(QWidget *owner, const QString &n) : QDialog(owner), m_n(n) {} QString number() const { return m_n; } QString m_n;
};
