#include "consent/Showable.h"

#include "data/Db.h"
#include "data/JetSql.h"
#include "data/PictureStore.h"
#include "data/Settings.h"

#include <QMap>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace Showable {

namespace {

} // namespace

int Major::count() const
{
    int n = 0;
    for (const Minor &m : minors)
        n += int(m.cases.size());
    return n;
}

QVector<Major> withPairs(QVector<Major> majors, const QString &programFolder, QStringList *leftOut)
{
    auto missing = [&](const Case &c) -> QString {
        if (c.before.isEmpty())
            return QStringLiteral("没有术前照片");
        if (c.after.isEmpty())
            return QStringLiteral("没有术后照片");
        for (const QString &column : {c.before.first(), c.after.first()})
            if (PictureStore::resolveColumn(programFolder, column).isEmpty())
                return QStringLiteral("照片 %1 找不到").arg(column);
        return {};
    };
    QVector<Major> kept;
    for (Major &major : majors) {
        QVector<Minor> minors;
        for (Minor &minor : major.minors) {
            QVector<Case> cases;
            for (Case &c : minor.cases) {
                const QString why = missing(c);
                if (why.isEmpty())
                    cases.append(std::move(c));
                else if (leftOut)
                    leftOut->append(QStringLiteral("病例 %1：%2，未展示").arg(c.id).arg(why));
            }
            if (!cases.isEmpty()) {
                minor.cases = std::move(cases);
                minors.append(std::move(minor));
            }
        }
        if (!minors.isEmpty()) {
            major.minors = std::move(minors);
            kept.append(std::move(major));
        }
    }
    return kept;
}

QDate surgeryDate(const QString &stored)
{
    const QString text = stored.trimmed();
    if (text.isEmpty())
        return {};
    QDate d = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    if (d.isValid())
        return d;
    const QString iso = JetSql::dateLiteralToIso(text);
    return iso.isEmpty() ? QDate() : QDate::fromString(iso.left(10), QStringLiteral("yyyy-MM-dd"));
}

QVector<Major> load(const QSqlDatabase &db, Consent::Level atLeast)
{
    // Read first: a server connection holds the results of one query at a time.
    const QHash<qint64, QHash<QString, Consent::Level>> photoLevels = Consent::allPhotoLevels(db);
    QString columns;
    for (const QString &c : CasePictures::columns())
        columns += QStringLiteral(", s.") + c;
    QSqlQuery q = Db::runPrepared(db,
                                  QStringLiteral(
                                      "SELECT s.id, s.手术大类, s.手术小类, s.手术日期, s.手术医生, c.Level%1 "
                                      "FROM Surgery s JOIN CaseConsent c ON c.CaseId = s.id WHERE c.Level >= ?")
                                      .arg(columns),
                                  {static_cast<int>(atLeast)});

    QVector<Case> cases;
    while (q.next()) {
        Case c;
        c.id = q.value(0).toLongLong();
        c.major = q.value(1).toString().trimmed();
        c.minor = q.value(2).toString().trimmed();
        c.surgeryDate = surgeryDate(q.value(3).toString());
        c.surgeon = q.value(4).toString().trimmed();
        c.level = Consent::fromInt(q.value(5).toInt());
        QStringList stored;
        for (int i = 0; i < 6; ++i)
            stored << q.value(6 + i).toString();
        // A stored level the program does not know reads as record only: never shown; nor is a
        // picture whose own consent is narrower than the showing needs.
        const CasePictures::CaseFacts
            facts{c.id, QString(), c.major, c.minor, c.surgeryDate, c.level, photoLevels.value(c.id)};
        for (const CasePicture &p : CasePictures::fromColumns(facts, stored)) {
            if (p.level < atLeast)
                continue;
            c.pictures << p;
            (p.after ? c.after : c.before) << p.stored;
        }
        if (c.level < atLeast || c.pictures.isEmpty())
            continue;
        cases << c;
    }
    std::sort(cases.begin(), cases.end(), [](const Case &a, const Case &b) {
        if (a.major != b.major)
            return a.major < b.major;
        if (a.minor != b.minor)
            return a.minor < b.minor;
        // Cases without a date after the dated ones.
        if (a.surgeryDate.isValid() != b.surgeryDate.isValid())
            return a.surgeryDate.isValid();
        if (a.surgeryDate != b.surgeryDate)
            return a.surgeryDate < b.surgeryDate;
        return a.id < b.id;
    });

    QVector<Major> majors;
    for (const Case &c : cases) {
        if (majors.isEmpty() || majors.last().name != c.major)
            majors.append(Major{c.major, {}});
        QVector<Minor> &minors = majors.last().minors;
        if (minors.isEmpty() || minors.last().name != c.minor)
            minors.append(Minor{c.minor, {}});
        minors.last().cases.append(c);
    }
    return majors;
}

bool surgeonShown()
{
    return Settings::readString(QStringLiteral("Consult"), QStringLiteral("ShowSurgeon"), QStringLiteral("0")).trimmed()
           == QLatin1String("1");
}

void setSurgeonShown(bool shown)
{
    Settings::writeString(QStringLiteral("Consult"), QStringLiteral("ShowSurgeon"),
                          shown ? QStringLiteral("1") : QStringLiteral("0"));
}

} // namespace Showable
