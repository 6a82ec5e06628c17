#pragma once
// The per-machine settings file Belcara.ini: one file for every copy of the program on the
// machine, at a fixed path independent of the program's folder. Each call reads or writes the
// file afresh (see ProfileFile); nothing is remembered here.
//
// Section KZ:
//   Open  "1"/"0"  open a clicked picture in the system's default program (default false)
//   No    text     the two-character hospital number that begins customer numbers (default "A1")

#include <QString>

namespace Settings {

// Where the file lives unless start-up says otherwise.
QString defaultPath();

// The file used by every function below; set once at start-up (tests use a temporary file).
void setPath(const QString &path);
QString path();

// Key Open of section KZ, false when missing or not an integer.
bool readOpen();
// Writes "1" or "0" under Open. Raises AppError "Unable to write to <path>" on failure.
void writeOpen(bool open);

// Key No of section KZ, "A1" when missing; a present but empty entry reads as empty.
QString readHospitalNo();
// Writes the text as it is under the key NO (the same entry as No: keys ignore case).
// Raises AppError "Unable to write to <path>" on failure.
void writeHospitalNo(const QString &hospitalNo);

// Any other entry of the file.
QString readString(const QString &section, const QString &key, const QString &defaultValue);
void writeString(const QString &section, const QString &key, const QString &value);

} // namespace Settings
