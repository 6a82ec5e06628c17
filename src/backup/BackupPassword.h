#pragma once
// Where the backup password may be kept: nowhere but these two files.
//
//   the user's file     "$XDG_CONFIG_HOME/belcara/backup-password" (~/.config/…), written when
//                       "在这台电脑上记住密码" is ticked; only that user may read it (0600)
//   the service's file  "/etc/belcara/backup-password", root's alone (0600), written by
//                       `belcara-admin set-backup-password`; the nightly backup reads it
//                       ($BELCARA_BACKUP_PASSWORD_FILE names another, for trying things out)
//
// A file that others may read is refused rather than used.

#include <QByteArray>
#include <QString>

namespace BackupPassword {

QString userFile();
QString serviceFile();

// The password in the file, without a final line break. Empty when there is no file. Raises
// AppError when the file cannot be read or others may read it.
QByteArray read(const QString &file);
// Writes the file through a temporary name, readable by its owner only. Raises AppError.
void write(const QString &file, const QByteArray &password);
// Removes the file (the user no longer wants it remembered).
void forget(const QString &file);

// The shortest password accepted for a new backup location.
constexpr int MinimumLength = 8;

} // namespace BackupPassword
