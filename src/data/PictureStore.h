#pragma once
// The picture file store: a folder "pic/" beside the program with one folder per customer number.
// Picture columns hold references in the Windows form "A1200612070001\1.jpg", relative to the
// store root; the separator becomes "/" only where the file system is touched.
//
// The store only ever adds or replaces files: nothing here deletes or renames a stored picture
// other than the atomic replacement of a destination by its new copy.

#include <QString>
#include <QStringList>

#include <functional>

namespace PictureStore {

// The store root: programFolder (which ends in a separator) followed by "pic/".
QString storeRoot(const QString &programFolder);

// The full path a column value names: store root + value with every "\" turned into "/".
QString referenceToPath(const QString &programFolder, const QString &columnValue);

// Whether path names an existing regular file (a folder never counts).
bool isPictureFile(const QString &path);

// The full path of the picture a column names, or an empty string when the column names no
// existing file. An empty column never names a picture (it would name the store root itself).
QString resolveColumn(const QString &programFolder, const QString &columnValue);

// The file-name part of a source path: everything after the last "/", "\" or ":".
QString fileNamePart(const QString &sourcePath);

// Writes len bytes at data to the open file descriptor fd; returns the number of bytes written
// (possibly fewer than len) or -1 with errno set. The copy routine loops until all is written.
using Writer = std::function<long long(int fd, const char *data, long long len)>;

// What imports added to the store: the files they created and the customer folders they made.
// A case save that is refused after its pictures were imported takes them back with undo().
struct Added {
    QStringList files;
    QStringList folders;
    void undo(); // removes the files, then the folders if they are empty
};

// The writer used when none is passed: the plain system call, or for tests one that fails like
// a full disk where no small file system can be mounted. An empty writer restores the plain one.
void setDefaultWriter(const Writer &writer);

// Brings the file at sourcePath (taken unchanged as a path) into the folder of customerNo under
// storeRoot (as returned by storeRoot()) and returns the stored reference customerNo + "\" + file
// name, or an empty string when nothing was imported. The customer folder is created as one
// level; the store root itself is never created.
//
// A stored picture is never replaced by a different one: when the folder already holds a file of
// that name with other content, the picture goes under the next free name ("face.jpg",
// "face(2).jpg", "face(3).jpg", ...), so the cases that name the old file keep their picture. A
// file of the same content is not copied again: its name is the result. The copy is written to a
// temporary file beside its place and moved there only when every byte has been written and
// flushed, and never over a file that appeared meanwhile. whyNot, when given, receives a short
// reason for the user on failure; added, when given, collects what the import created. writer is
// for tests (see copyFileAtomically).
QString ImportPicture(const QString &storeRoot, const QString &sourcePath, const QString &customerNo,
                      QString *whyNot = nullptr, const Writer &writer = Writer(), Added *added = nullptr);

// Whether the two files hold the same bytes.
bool sameContent(const QString &a, const QString &b);

// The n-th name for a picture called name (n >= 2): "face.jpg" -> "face(2).jpg".
QString numberedName(const QString &name, int n);

// Copies source to destination through a temporary file in the destination's folder, checking
// every write, flushing to disk and renaming over the destination. On failure the destination is
// left as it was, the temporary file is removed and whyNot gets the reason. The writer defaults
// to the plain system call; tests inject one that fails part-way.
bool copyFileAtomically(const QString &source, const QString &destination, QString *whyNot = nullptr,
                        const Writer &writer = Writer());

// Whether fileName (a name without folder) is that of a temporary copy. Such a file is never a
// picture of the store.
bool isTemporaryName(const QString &fileName);

// Removes the temporary copies that imports interrupted by a crash or a kill left in the
// customer folders under storeRoot: those written on this machine by a process that has ended,
// and any older than olderThanSeconds (a copy of another workstation sharing the store). Copies
// still being written are left alone. Returns how many were removed. Run at start-up.
int removeLeftoverCopies(const QString &storeRoot, qint64 olderThanSeconds = 24 * 3600);

} // namespace PictureStore
