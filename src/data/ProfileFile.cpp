#include "data/ProfileFile.h"

#include "data/AppError.h"
#include "data/Gbk.h"
#include "data/SafeFile.h"

#include <QList>

namespace {

const QByteArray Utf8Bom("\xEF\xBB\xBF");

// Blanks as the profile services see them: white space, and the DOS end-of-file mark ^Z.
bool isBlank(QChar c)
{
    return c.isSpace() || c.unicode() == 0x1A;
}

QString trimmedBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin).toString();
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isQuote(QChar c)
{
    return c == u'"' || c == u'\'';
}

bool wrappedInQuotes(const QString &value)
{
    return value.size() >= 2 && isQuote(value.front()) && value.back() == value.front();
}

struct Line {
    enum Kind { Other, Section, Key };
    QByteArray text; // the line's bytes without its line end
    QByteArray end;  // "\r\n", "\n", or empty for a last line without one
    Kind kind = Other;
    QString name;  // section or key name, blanks trimmed
    QString value; // key value, blanks trimmed
};

// The file split into lines. Lines are split on the byte "\n", which never occurs inside a
// character in GBK or UTF-8, and each line is decoded on its own; unchanged lines are written
// back from their original bytes.
struct Document {
    bool utf8 = false;
    QByteArray lineEnd = "\n"; // the style of added lines: the file's first line end
    QList<Line> lines;

    QString decode(const QByteArray &bytes) const { return utf8 ? QString::fromUtf8(bytes) : Gbk::decode(bytes); }
    QByteArray encode(const QString &text) const { return utf8 ? text.toUtf8() : Gbk::encode(text); }

    void classify(Line &line) const
    {
        const QString text = decode(line.text);
        qsizetype start = 0;
        while (start < text.size() && isBlank(text.at(start)))
            ++start;
        if (start == text.size())
            return;
        if (text.at(start) == u'[') {
            const qsizetype close = text.lastIndexOf(u']');
            if (close > start) {
                line.kind = Line::Section;
                line.name = trimmedBlanks(QStringView(text).mid(start + 1, close - start - 1));
                return;
            }
        }
        const qsizetype equals = text.indexOf(u'=', start);
        if (equals < 0)
            return;
        line.name = trimmedBlanks(QStringView(text).mid(start, equals - start));
        if (line.name.isEmpty())
            return;
        line.kind = Line::Key;
        line.value = trimmedBlanks(QStringView(text).mid(equals + 1));
    }

    static Document parse(QByteArray bytes)
    {
        Document doc;
        if (bytes.startsWith(Utf8Bom)) {
            doc.utf8 = true;
            bytes.remove(0, Utf8Bom.size());
        }
        qsizetype pos = 0;
        while (pos < bytes.size()) {
            Line line;
            const qsizetype newline = bytes.indexOf('\n', pos);
            if (newline < 0) {
                line.text = bytes.mid(pos);
                pos = bytes.size();
            } else {
                line.text = bytes.mid(pos, newline - pos);
                line.end = "\n";
                if (line.text.endsWith('\r')) {
                    line.text.chop(1);
                    line.end = "\r\n";
                }
                pos = newline + 1;
            }
            doc.classify(line);
            doc.lines.append(line);
        }
        if (!doc.lines.isEmpty() && !doc.lines.first().end.isEmpty())
            doc.lineEnd = doc.lines.first().end;
        return doc;
    }

    QByteArray bytes() const
    {
        QByteArray out = utf8 ? Utf8Bom : QByteArray();
        for (const Line &line : lines)
            out += line.text + line.end;
        return out;
    }

    // Where a key is: its section's header line, the key's line, and the line after which a
    // missing key goes (the section's last key, or the header). -1 for what is not there.
    struct Place {
        int section = -1;
        int key = -1;
        int insertAfter = -1;
    };

    Place find(const QString &section, const QString &key) const
    {
        Place place;
        const int count = int(lines.size());
        int i = 0;
        while (i < count && !(lines[i].kind == Line::Section && sameName(lines[i].name, section)))
            ++i;
        if (i == count)
            return place;
        place.section = place.insertAfter = i;
        for (int j = i + 1; j < count && lines[j].kind != Line::Section; ++j) {
            if (lines[j].kind != Line::Key)
                continue;
            if (place.key < 0 && sameName(lines[j].name, key))
                place.key = j;
            place.insertAfter = j;
        }
        return place;
    }

    Line newLine(const QString &text) const
    {
        Line line;
        line.text = encode(text);
        line.end = lineEnd;
        return line;
    }

    void set(const QString &section, const QString &key, const QString &storedValue)
    {
        const Place place = find(section, key);
        if (place.key >= 0) {
            // Keep the key as spelled in the file and the blanks up to the value.
            Line &line = lines[place.key];
            qsizetype cut = line.text.indexOf('=') + 1;
            while (cut < line.text.size() && (line.text.at(cut) == ' ' || line.text.at(cut) == '\t'))
                ++cut;
            line.text = line.text.left(cut) + encode(storedValue);
            return;
        }
        const QString keyLine = key + u'=' + storedValue;
        if (place.section >= 0) {
            // Only the file's last line can lack a line end; it needs one before a line follows.
            Line &previous = lines[place.insertAfter];
            if (previous.end.isEmpty())
                previous.end = lineEnd;
            lines.insert(place.insertAfter + 1, newLine(keyLine));
            return;
        }
        if (!lines.isEmpty() && lines.last().end.isEmpty())
            lines.last().end = lineEnd;
        if (!lines.isEmpty() && !trimmedBlanks(decode(lines.last().text)).isEmpty())
            lines.append(newLine(QString()));
        lines.append(newLine(u'[' + section + u']'));
        lines.append(newLine(keyLine));
    }
};

// The file's bytes, read in one go with the file open only for that; false when it is missing,
// cannot be read, or is a link that must not be followed (see SafeFile), which all read as absent.
bool readFile(const QString &fileName, QByteArray *bytes)
{
    return SafeFile::readContents(fileName, bytes) == SafeFile::ReadStatus::Read;
}

[[noreturn]] void writeFailed(const QString &fileName)
{
    throw AppError(QStringLiteral("Unable to write to %1").arg(fileName));
}

bool hasLineBreak(const QString &text)
{
    return text.contains(u'\n') || text.contains(u'\r');
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

ProfileFile::ProfileFile(const QString &fileName, int newFileMode) : m_fileName(fileName), m_newFileMode(newFileMode) {}

QString ProfileFile::readString(const QString &section, const QString &key, const QString &defaultValue) const
{
    QByteArray bytes;
    if (!readFile(m_fileName, &bytes))
        return defaultValue;
    return valueIn(bytes, section, key, defaultValue);
}

QString ProfileFile::valueIn(const QByteArray &content, const QString &section, const QString &key,
                             const QString &defaultValue)
{
    const QString sectionName = trimmedBlanks(section);
    const QString keyName = trimmedBlanks(key);
    if (sectionName.isEmpty() || keyName.isEmpty())
        return defaultValue;
    const Document doc = Document::parse(content);
    const Document::Place place = doc.find(sectionName, keyName);
    if (place.key < 0)
        return defaultValue;
    QString value = doc.lines[place.key].value;
    if (wrappedInQuotes(value))
        value = value.mid(1, value.size() - 2);
    if (value.size() > MaxValueLength) {
        value.truncate(MaxValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

bool ProfileFile::hasSection(const QString &section) const
{
    QByteArray bytes;
    return readFile(m_fileName, &bytes) && hasSectionIn(bytes, section);
}

bool ProfileFile::hasSectionIn(const QByteArray &content, const QString &section)
{
    const QString sectionName = trimmedBlanks(section);
    return !sectionName.isEmpty() && Document::parse(content).find(sectionName, QString()).section >= 0;
}

bool ProfileFile::parseInteger(const QString &text, qint32 *value)
{
    QString s = text;
    if (s.size() > 2 && s.at(0) == u'0' && (s.at(1) == u'x' || s.at(1) == u'X'))
        s = u'$' + s.mid(2);
    qsizetype i = 0;
    while (i < s.size() && s.at(i) == u' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s.at(i) == u'+' || s.at(i) == u'-'))
        negative = s.at(i++) == u'-';
    int base = 10;
    if (i < s.size() && s.at(i) == u'$') {
        base = 16;
        ++i;
    }
    if (i == s.size())
        return false;
    // Decimal must fit a signed 32-bit integer; hexadecimal may use all 32 bits.
    const quint64 limit = base == 16 ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
    quint64 magnitude = 0;
    for (; i < s.size(); ++i) {
        const int digit = hexDigit(s.at(i));
        if (digit < 0 || digit >= base)
            return false;
        magnitude = magnitude * quint64(base) + quint64(digit);
        if (magnitude > limit)
            return false;
    }
    quint32 bits = quint32(magnitude);
    if (negative)
        bits = 0u - bits;
    *value = qint32(bits);
    return true;
}

bool ProfileFile::readBool(const QString &section, const QString &key, bool defaultValue) const
{
    qint32 number = 0;
    if (!parseInteger(readString(section, key, QString()), &number))
        return defaultValue;
    return number != 0;
}

void ProfileFile::writeString(const QString &section, const QString &key, const QString &value) const
{
    const QString sectionName = trimmedBlanks(section);
    const QString keyName = trimmedBlanks(key);
    if (sectionName.isEmpty() || keyName.isEmpty() || keyName.contains(u'=') || hasLineBreak(sectionName)
        || hasLineBreak(keyName) || hasLineBreak(value))
        writeFailed(m_fileName);

    // Rewriting a file we cannot read would lose its other content; a link we must not follow is
    // refused here too.
    QByteArray bytes;
    if (SafeFile::readContents(m_fileName, &bytes) == SafeFile::ReadStatus::Refused)
        writeFailed(m_fileName);
    Document doc = Document::parse(bytes);

    // Blanks at the ends, or quotes around the whole value, would be taken off on reading.
    QString stored = value;
    if (!value.isEmpty() && (isBlank(value.front()) || isBlank(value.back()) || wrappedInQuotes(value)))
        stored = u'"' + value + u'"';
    doc.set(sectionName, keyName, stored);

    if (!SafeFile::replaceContents(m_fileName, doc.bytes(), nullptr, m_newFileMode))
        writeFailed(m_fileName);
}

void ProfileFile::writeBool(const QString &section, const QString &key, bool value) const
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}
