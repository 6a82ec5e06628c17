#include "consent/CasePictures.h"

#include "consent/Showable.h"
#include "data/Db.h"
#include "data/PictureStore.h"
#include "pictures/ExifDate.h"

#include <QMap>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace {

const char *const Columns[6] = {"手术前", "手术前1", "手术前2", "手术后", "手术后1", "手术后2"};

} // namespace

QString CasePicture::column() const
{
    return CasePictures::column(after, slot);
}

QString CasePicture::category() const
{
    QStringList parts;
    for (const QString &part : {major, minor})
        if (!part.isEmpty())
            parts << part;
    return parts.join(QStringLiteral(" / "));
}

QDate CasePicture::dateTaken() const
{
    if (!m_taken)
        m_taken = path.isEmpty() ? QDate() : ExifDate::dateTaken(path).value_or(QDate());
    return *m_taken;
}

QString CasePicture::sinceSurgery() const
{
    return ExifDate::afterSurgeryText(surgeryDate, dateTaken());
}

namespace CasePictures {

QString column(bool after, int slot)
{
    return QString::fromUtf8(Columns[(after ? 3 : 0) + std::clamp(slot, 0, 2)]);
}

QStringList columns()
{
    QStringList names;
    for (const char *c : Columns)
        names << QString::fromUtf8(c);
    return names;
}

Consent::Level levelOf(Consent::Level caseLevel, const CasePicture &picture)
{
    // A photo's own agreement only ever narrows its case's.
    return picture.own ? qMin(caseLevel, *picture.own) : caseLevel;
}

QVector<CasePicture> fromColumns(const CaseFacts &facts, const QStringList &stored, const QString &programFolder)
{
    QVector<CasePicture> pictures;
    for (int i = 0; i < 6 && i < stored.size(); ++i) {
        CasePicture p;
        p.stored = stored.at(i).trimmed();
        if (p.stored.isEmpty())
            continue;
        p.caseId = facts.caseId;
        p.customerNo = facts.customerNo;
        p.after = i >= 3;
        p.slot = i % 3;
        p.major = facts.major;
        p.minor = facts.minor;
        p.surgeryDate = facts.surgeryDate;
        if (!programFolder.isEmpty()) {
            const QString path = PictureStore::resolveColumn(programFolder, p.stored);
            p.path = PictureStore::isPictureFile(path) ? path : QString();
        }
        if (facts.photos.contains(p.column()))
            p.own = facts.photos.value(p.column());
        p.level = levelOf(facts.level, p);
        pictures << p;
    }
    return pictures;
}

QVector<CasePicture> read(const QSqlDatabase &db, const QString &programFolder, qint64 caseId)
{
    QString select = QStringLiteral("SELECT 客户编号, 手术大类, 手术小类, 手术日期");
    for (const QString &c : columns())
        select += QStringLiteral(", ") + c;
    QSqlQuery q = Db::runPrepared(db, select + QStringLiteral(" FROM Surgery WHERE id = ?"), {caseId});
    if (!q.next())
        return {};
    CaseFacts facts;
    facts.caseId = caseId;
    facts.customerNo = q.value(0).toString().trimmed();
    facts.major = q.value(1).toString().trimmed();
    facts.minor = q.value(2).toString().trimmed();
    facts.surgeryDate = Showable::surgeryDate(q.value(3).toString());
    QStringList stored;
    for (int i = 0; i < 6; ++i)
        stored << q.value(4 + i).toString();
    q.finish();
    facts.level = Consent::read(db, caseId).level;
    facts.photos = Consent::photoLevels(db, caseId);
    return fromColumns(facts, stored, programFolder);
}

const CasePicture *find(const QVector<CasePicture> &pictures, bool after, int slot)
{
    for (const CasePicture &p : pictures)
        if (p.after == after && p.slot == slot)
            return &p;
    return nullptr;
}

bool allow(const QVector<CasePicture> &pictures, Consent::Level needed)
{
    const CasePicture *least = narrowest(pictures);
    return !least || least->level >= needed;
}

const CasePicture *narrowest(const QVector<CasePicture> &pictures)
{
    const CasePicture *least = nullptr;
    for (const CasePicture &p : pictures)
        if (!least || p.level < least->level)
            least = &p;
    return least;
}

QList<qint64> caseIds(const QVector<CasePicture> &pictures)
{
    QList<qint64> ids;
    for (const CasePicture &p : pictures)
        if (!ids.contains(p.caseId))
            ids << p.caseId;
    return ids;
}

QVector<CasePicture> withCurrentLevels(const QSqlDatabase &db, QVector<CasePicture> pictures)
{
    QMap<qint64, Consent::Level> levels;
    QMap<qint64, QHash<QString, Consent::Level>> photos;
    for (CasePicture &p : pictures) {
        if (!levels.contains(p.caseId)) {
            levels.insert(p.caseId, Consent::read(db, p.caseId).level);
            photos.insert(p.caseId, Consent::photoLevels(db, p.caseId));
        }
        const auto own = photos.value(p.caseId);
        p.own = own.contains(p.column()) ? std::optional<Consent::Level>(own.value(p.column())) : std::nullopt;
        p.level = levelOf(levels.value(p.caseId), p);
    }
    return pictures;
}

} // namespace CasePictures
