#pragma once
// Storing a photo taken at the capture station: the file goes through the picture store's import
// (temporary file, every write checked, rename, never over another picture) into the case's
// customer folder, and the case row's slot is set to it with an audit event naming the case, the
// slot and the source, all in one transaction. A refused save takes the imported file out again,
// so the store is left as it was.

#include <QSqlDatabase>
#include <QString>

namespace ShotStore {

struct Shot {
    qint64 caseId = 0;
    bool after = true;
    int slot = 0;       // 0 to 2 within its kind
    QString file;       // the picture file to import, taken unchanged
    QString sourceName; // "演示相机", "监视文件夹"
};

// The stored reference ("A1200612070001\3.jpg"). Raises AppError with the reason for the user when
// the case is gone, its slot already names a picture, the import fails or the database refuses.
QString store(const QSqlDatabase &db, const QString &programFolder, const Shot &shot);

} // namespace ShotStore
