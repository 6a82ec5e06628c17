#pragma once
// The pictures of cases, each carrying its own case: who it belongs to, which slot of the case
// row names it, what surgery it shows, and the consent that applies to it. Every decision on what
// may be shown or sent is taken per picture: a pair or a grid is allowed for a purpose only when
// every one of its pictures is.

#include "consent/Consent.h"

#include <QDate>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <optional>

struct CasePicture {
    qint64 caseId = 0; // Surgery.id
    QString customerNo;
    bool after = false;   // one of the case's after pictures
    int slot = 0;         // 0 to 2 within its kind (手术前, 手术前1, 手术前2; 手术后, ...)
    QString stored;       // as the case row stores it, e.g. "A1200612070001\1.jpg"
    QString path;         // the file, resolved against the program folder; empty when there is none
    QString major, minor; // 手术大类, 手术小类
    QDate surgeryDate;    // invalid when the row holds none
    Consent::Level level = Consent::Level::RecordOnly; // the consent that applies to this picture
    std::optional<Consent::Level> own;                 // the photo's own, narrower agreement

    bool isEmpty() const { return path.isEmpty(); }
    // The case row's column that names the picture ("手术后1").
    QString column() const;
    // "大类 / 小类", the parts that are given.
    QString category() const;
    // The day the photo was taken (its EXIF date), read from the file the first time it is asked
    // for; invalid when the file tells none.
    QDate dateTaken() const;
    void setDateTaken(const QDate &taken) { m_taken = taken; }
    // The time from the picture's own surgery to the day it was taken ("术后 3 个月"); empty when
    // either is unknown.
    QString sinceSurgery() const;

private:
    mutable std::optional<QDate> m_taken;
};

namespace CasePictures {

// What a case row tells of all its pictures.
struct CaseFacts {
    qint64 caseId = 0;
    QString customerNo;
    QString major, minor;
    QDate surgeryDate;
    Consent::Level level = Consent::Level::RecordOnly; // the case's own level
    QHash<QString, Consent::Level> photos;             // photos' own agreements, by column
};

// The six picture columns in slot order: 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2.
QString column(bool after, int slot);
QStringList columns();

// The consent that applies to one picture of a case at caseLevel. The one place where a
// photo's own, narrower agreement is to be applied.
Consent::Level levelOf(Consent::Level caseLevel, const CasePicture &picture);

// The pictures a case row names: stored, the values of the six columns in slot order; columns
// left empty give none. Paths are resolved against programFolder when it is given.
QVector<CasePicture> fromColumns(const CaseFacts &facts, const QStringList &stored,
                                 const QString &programFolder = QString());

// The pictures of the case (Surgery.id) with its consent; none when there is no such case.
// Raises AppError when the database refuses the query.
QVector<CasePicture> read(const QSqlDatabase &db, const QString &programFolder, qint64 caseId);

// The picture in a slot; nullptr when the case names none there.
const CasePicture *find(const QVector<CasePicture> &pictures, bool after, int slot);

// Whether every picture allows `needed`.
bool allow(const QVector<CasePicture> &pictures, Consent::Level needed);
// The picture with the narrowest consent (the first of them); nullptr for none.
const CasePicture *narrowest(const QVector<CasePicture> &pictures);
// The cases the pictures belong to, in the order they first appear.
QList<qint64> caseIds(const QVector<CasePicture> &pictures);

// The pictures with their consent as the database holds it now (each case read once).
QVector<CasePicture> withCurrentLevels(const QSqlDatabase &db, QVector<CasePicture> pictures);

} // namespace CasePictures
