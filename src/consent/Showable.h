#pragma once
// The cases that may be shown to a prospective customer (consent level 可向顾客展示 or above),
// grouped by 手术大类 and 手术小类, with only what such a showing needs: the pictures, the surgery
// date and the surgeon. Nothing of the customer (number, name, telephone, address, age) and no
// amount is read, so nothing of them can reach a screen built from these lists.

#include "consent/CasePictures.h"
#include "consent/Consent.h"

#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVector>

namespace Showable {

struct Case {
    qint64 id = 0; // Surgery.id
    QString major;
    QString minor;
    QDate surgeryDate; // invalid when the row holds none or no readable one
    QString surgeon;
    QStringList before; // picture columns as stored, in slot order, empty ones left out
    QStringList after;
    // The same pictures with their slots and consent (paths not resolved; no customer number).
    QVector<CasePicture> pictures;
    Consent::Level level = Consent::Level::MayShow;
};

struct Minor {
    QString name;        // empty: cases without a 手术小类
    QVector<Case> cases; // by surgery date, then id
};

struct Major {
    QString name;          // empty: cases without a 手术大类
    QVector<Minor> minors; // by name
    int count() const;
};

// Every case at level `atLeast` or above that has at least one picture, grouped; majors by name.
// Raises AppError when the database refuses the query.
QVector<Major> load(const QSqlDatabase &db, Consent::Level atLeast = Consent::Level::MayShow);

// The cases a comparison can be shown for: a before and an after picture, the first of each
// found in the store under programFolder. Each case left out is named in `leftOut` (its id and
// what is missing, for the staff); groups left without cases are dropped.
QVector<Major> withPairs(QVector<Major> majors, const QString &programFolder, QStringList *leftOut);

// The surgery date as the case row holds it ("2023-03-10", with or without a time, or in the
// other forms dates were typed in); invalid when it holds none.
QDate surgeryDate(const QString &stored);

// Whether the surgeon's name may be shown with the cases: a machine setting (section Consult,
// key ShowSurgeon of the settings file), off unless set to 1.
bool surgeonShown();
void setSurgeonShown(bool shown);

} // namespace Showable
