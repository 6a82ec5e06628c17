#include "data/Gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace Gbk {

QByteArray encode(const QString &text)
{
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    QByteArray out;
    out.reserve(text.size() * 2);
    // Character by character, so that a character the converter drops or cannot map is seen
    // and written as "?" instead of vanishing.
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype len = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            len = 2;
        const QStringView one = QStringView(text).mid(i, len);
        i += len - 1;
        if (len == 1 && one.at(0).unicode() < 0x80) {
            out.append(char(one.at(0).unicode()));
            continue;
        }
        const QByteArray bytes = encoder.encode(one);
        if (encoder.hasError() || bytes.isEmpty()) {
            encoder.resetState();
            out.append('?');
        } else {
            out.append(bytes);
        }
    }
    return out;
}

QString decode(const QByteArray &bytes)
{
    // The converter holds back a lead byte cut off at the end instead of replacing it; a
    // line feed after the bytes makes it report that byte, and is then taken off again.
    QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes + '\n');
    text.chop(1);
    return text;
}

int byteLength(const QString &text)
{
    return int(encode(text).size());
}

} // namespace Gbk
