#pragma once
// Puts the demo pictures on disk: the pool pictures in a folder of their own, and under
// pic/<customer number>/ a hard link to a pool picture for each repeated picture, or a captioned
// copy for the first picture of a case. Nothing that exists is ever replaced or removed.

#include "demo_data.h"
#include "demo_pictures.h"

#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

namespace DemoStore {

// Renames planned picture files that would land on an existing file (or on another planned file)
// to the next free IMG_nnnn.jpg of that customer's folder.
void chooseFreeNames(DemoData::Plan &plan, const QString &picRoot);

// The pool's file paths in poolFolder, each the picture's own name or, if that is taken,
// name-2.jpg, name-3.jpg, ...
QStringList poolPaths(const QList<DemoPictures::PoolPicture> &pool, const QString &poolFolder);

struct Result {
    int poolFiles = 0;
    int links = 0;
    int captioned = 0;
    int copiedInsteadOfLinked = 0; // the file system refused hard links
};

// Draws and writes the pool and every picture file of the plan, on `threads` threads.
// Throws AppError naming the first file that could not be written.
Result writePictures(const DemoData::Plan &plan, const QList<DemoPictures::PoolPicture> &pool,
                     const QStringList &poolPaths, const QString &picRoot, const QSize &storedSize, int threads);

// Bytes taken by the files under folder, counting each hard-linked file once.
qint64 diskUsage(const QString &folder);

} // namespace DemoStore
