#pragma once
// Reading and replacing a small file's whole content safely, also in a folder that every user
// of the machine may write (the shared settings folder, sticky like /tmp).

#include <QByteArray>
#include <QString>

namespace SafeFile {

// Symbolic links are followed only where nobody else could have planted them: in a folder owned
// by root or by us that neither group nor others may write. A link in any other folder (a
// sticky, world-writable one above all) is never followed, by reading or by writing, so that
// one user cannot make another user's program read or write a file of theirs.

enum class ReadStatus { Read, Missing, Refused };

// The file's bytes. Missing when there is no file; Refused when it is a link that must not be
// followed, not a regular file, or cannot be read (`error` then says why).
ReadStatus readContents(const QString &path, QByteArray *bytes, QString *error = nullptr);

// Makes `bytes` the content of the file at `path`, creating it when missing.
//
// The bytes go to a new file in the same folder (every write checked, flushed to the disk),
// which is then renamed over the old one: a crash or a full disk leaves either the old file or
// the new one, never a half-written file. The new file keeps the old one's permission bits
// (and owner, where allowed); a new file gets `newFileMode` (permission bits such as 0666, applied
// whatever the umask) or, when that is -1, 0666 less the umask. A link that may be followed
// (see above) has its target replaced and stays a link.
//
// When the folder does not let us create or rename files but the file itself is writable
// (a settings file shared in a folder only an administrator may change, or another user's file
// in a sticky folder), the file is rewritten in place instead, with every write checked and the
// length cut to the new content. In a folder that others may write this is done only to a
// regular file with a single name, owned by us or by the folder's owner: never to a file that
// someone else placed there, or linked there from elsewhere.
//
// Returns false when the content could not be written; `error` then says why (system text).
bool replaceContents(const QString &path, const QByteArray &bytes, QString *error = nullptr, int newFileMode = -1);

} // namespace SafeFile
