#pragma once
// A record navigator: a row of buttons working on a DataSet (first, prior, next, last, insert,
// delete, edit, post, cancel, refresh), of which a window shows a chosen few. The buttons follow
// the data set's state: post and cancel only while editing or inserting, delete not on an empty
// data set, prior and first not at the beginning, next and last not at the end.

#include <QIcon>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include "data/DataSet.h"
class QToolButton;

class DBNavigator : public QWidget {
    Q_OBJECT
public:
    enum Btn { First, Prior, Next, Last, Insert, Delete, Edit, Post, Cancel, Refresh };
    static constexpr int ButtonCount = 10;

    explicit DBNavigator(QWidget *parent = nullptr);
    void setDataSet(DataSet *ds);
    DataSet *dataSet() const { return m_ds; }
    void setVisibleButtons(const QList<Btn> &buttons);
    void setHints(const QStringList &hints); // one per button, in the order of Btn
    void setConfirmDelete(bool confirm) { m_confirmDelete = confirm; }
    void setFlat(bool flat);
    QToolButton *button(Btn b) const { return m_buttons[b]; }
    bool isButtonEnabled(Btn b) const;

    // Runs a button as a click would (errors are shown, refusals are silent).
    void click(Btn b);

    static QIcon glyph(Btn b);

signals:
    // After the button's operation has run (not when it was refused or failed).
    void clicked(DBNavigator::Btn button);

private:
    void run(Btn b);
    void updateButtons();
    QPointer<DataSet> m_ds;
    QToolButton *m_buttons[ButtonCount];
    bool m_confirmDelete = true;
};
