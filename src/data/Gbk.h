#pragma once
// Text in code page 936 (GBK), the code page the settings file and byte-measured texts use.

#include <QByteArray>
#include <QString>

namespace Gbk {

// The text in code page 936. A character the code page cannot hold becomes "?" (one byte),
// as the platform's ANSI conversion does; that includes the invisible formatting characters
// (soft hyphen, zero-width joiners, byte-order mark) that the converter would otherwise drop.
QByteArray encode(const QString &text);

// Code page 936 bytes as text. A byte sequence the code page does not define becomes U+FFFD.
QString decode(const QByteArray &bytes);

// Length of the text in bytes of code page 936: ASCII counts 1, a Chinese character 2.
// A character that cannot be encoded counts as its replacement "?", that is 1.
int byteLength(const QString &text);

} // namespace Gbk
