// The statement translator and its date-literal reader on any text. The translator either
// raises AppError or gives a statement; a date it accepts is a real calendar date written in
// the stored form.

#include "FuzzSupport.h"

#include "data/AppError.h"
#include "data/JetSql.h"

#include <QDate>
#include <QRegularExpression>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    for (JetSql::Dialect dialect : {JetSql::Dialect::SQLite, JetSql::Dialect::PostgreSQL}) {
        try {
            (void)JetSql::translate(text, dialect);
        } catch (const AppError &) {
        }
    }

    const QString iso = JetSql::dateLiteralToIso(text);
    if (!iso.isEmpty()) {
        static const QRegularExpression form(QStringLiteral("^(\\d{4}-\\d{2}-\\d{2})( \\d{2}:\\d{2}:\\d{2})?$"));
        const QRegularExpressionMatch m = form.match(iso);
        if (!m.hasMatch() || !QDate::fromString(m.captured(1), Qt::ISODate).isValid())
            FuzzSupport::fail("dateLiteralToIso", QStringLiteral("gave \"%1\"").arg(iso));
        // A date in the stored form placed between # is read back as the same date.
        try {
            const QString again = JetSql::translate(QStringLiteral("SELECT #%1#").arg(iso));
            if (again != QStringLiteral("SELECT '%1'").arg(iso))
                FuzzSupport::fail("translate", QStringLiteral("#%1# became %2").arg(iso, again));
        } catch (const AppError &e) {
            FuzzSupport::fail("translate", QStringLiteral("#%1# refused: %2").arg(iso, e.text()));
        }
    }
    return 0;
}
