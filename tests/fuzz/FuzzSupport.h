#pragma once
// Shared by the fuzz targets: a private scratch folder for inputs that our readers take as files.

#include <QByteArray>
#include <QString>

namespace FuzzSupport {

// Writes data to name inside a folder of this process (on a memory file system when there is
// one) and returns the full path. Aborts when it cannot: a fuzz run without its input is void.
QString writeInput(const QString &name, const QByteArray &data);

// Ends the run with a message on stderr: libFuzzer reports it as a crash with this input.
[[noreturn]] void fail(const char *what, const QString &detail = QString());

} // namespace FuzzSupport
