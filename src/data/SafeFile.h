#pragma once
// Replacing a small file's whole content safely.

#include <QByteArray>
#include <QString>

namespace SafeFile {

// Makes `bytes` the content of the file at `path`, creating it when missing.
//
// The bytes go to a new file in the same folder (every write checked, flushed to the disk),
// which is then renamed over the old one: a crash or a full disk leaves either the old file or
// the new one, never a half-written file. The new file keeps the old one's permission bits
// (and owner, where allowed); a new file gets `newFileMode` (permission bits such as 0666, applied
// whatever the umask) or, when that is -1, 0666 less the umask. A symbolic link is followed:
// its target is replaced, the link stays.
//
// When the folder does not let us create or rename files but the file itself is writable
// (a settings file shared in a folder only an administrator may change), the file is rewritten
// in place instead, with every write checked and the length cut to the new content.
//
// Returns false when the content could not be written; `error` then says why (system text).
bool replaceContents(const QString &path, const QByteArray &bytes, QString *error = nullptr, int newFileMode = -1);

} // namespace SafeFile
