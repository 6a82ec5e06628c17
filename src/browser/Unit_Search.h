#pragma once
// Being written: replaced by the real window.
#include <QDialog>
class TfrmSearch : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSearch(QWidget *owner) : QDialog(owner) {} QString whereClause() const { return QString(); }
};
