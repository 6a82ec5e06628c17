#pragma once
// A profile (INI) file read and written the way the Windows private-profile services do it.
//
// The file is text: sections headed by a name in square brackets, lines of the form key=value.
// Section and key names are matched without regard to letter case; blanks around names and
// values are ignored; lines before the first section, lines without "=" and comment lines do not
// count as keys. When a section or key occurs twice, the first one is read and written.
//
// Every read and every write opens the file afresh; nothing is cached and the file is never held
// open between calls. A missing or unreadable file, section or key reads as the default, and so
// does a symbolic link in a folder that others may write (SafeFile says which links are
// followed); writing through such a link fails. The file is created by the first write,
// readable and writable for every user unless another mode is given (one settings file serves
// every user of the machine).
//
// The file is kept in code page 936 (GBK), or in UTF-8 when it begins with a UTF-8 byte-order
// mark. A write changes only the one line it concerns (or appends the key at the end of its
// section, or the section at the end of the file); every other line, comment and line end stays
// byte for byte, and added lines take the file's line-end style (CRLF or LF).
//
// A value with blanks at either end, or one that is itself wrapped in matching quotes, is written
// in double quotes, which reading takes off again, so every value without a line break reads back
// exactly as it was written.

#include <QString>

class ProfileFile {
public:
    // Longest value that reading returns; longer values are cut.
    static constexpr int MaxValueLength = 2047;

    // newFileMode: the permission bits of a file the first write creates.
    explicit ProfileFile(const QString &fileName, int newFileMode = 0666);

    const QString &fileName() const { return m_fileName; }

    // The key's value, at most MaxValueLength characters, with one pair of enclosing quotes
    // removed; `defaultValue` when the file, section or key is missing. A present but empty value
    // reads as empty.
    QString readString(const QString &section, const QString &key, const QString &defaultValue) const;

    // Whether the file has the section (with or without keys).
    bool hasSection(const QString &section) const;

    // readString and hasSection on a file's content already read.
    static QString valueIn(const QByteArray &content, const QString &section, const QString &key,
                           const QString &defaultValue);
    static bool hasSectionIn(const QByteArray &content, const QString &section);

    // The key's value as an integer, non-zero meaning true: "0x"/"0X" followed by hexadecimal
    // digits, or an optionally signed decimal or "$"-prefixed hexadecimal 32-bit integer. A value
    // that is missing, empty or not such an integer gives `defaultValue`.
    bool readBool(const QString &section, const QString &key, bool defaultValue) const;

    // Sets the key's value. Raises AppError "Unable to write to <fileName>" when the file cannot
    // be written, or when the value holds a line break (which the format cannot store); the file
    // is then left as it was.
    void writeString(const QString &section, const QString &key, const QString &value) const;

    // Writes "1" for true and "0" for false.
    void writeBool(const QString &section, const QString &key, bool value) const;

    // The integer rule of readBool on a text: false (and *value untouched) when it is no integer.
    static bool parseInteger(const QString &text, qint32 *value);

private:
    QString m_fileName;
    int m_newFileMode;
};
