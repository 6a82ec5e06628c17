// The Jet-to-engine translator: the statement is cut into tokens (blanks, string literals,
// quoted names, bracketed names, date literals, names, numbers, single punctuation characters),
// and only names, bracketed names and date literals are ever rewritten.

#include "data/JetSql.h"

#include "data/AppError.h"

#include <QSet>
#include <QVector>

namespace JetSql {

namespace {

struct Token {
    enum Kind { Blank, String, QuotedName, Bracketed, Date, Name, Number, Punct };
    Kind kind;
    QString text; // as written; for Bracketed and Date without the delimiters
};

bool isNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_') || (c.unicode() >= 0x80 && !c.isSpace());
}

bool isNameChar(QChar c)
{
    return isNameStart(c) || c.isDigit() || c == QLatin1Char('$');
}

// The end of a literal opened by `quote` at `from`; a doubled quote stands for itself.
// Returns the text length when the literal is not closed.
int literalEnd(const QString &s, int from, QChar quote)
{
    int i = from + 1;
    while (i < s.size()) {
        if (s[i] == quote) {
            if (i + 1 < s.size() && s[i + 1] == quote) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return s.size();
}

QVector<Token> tokenize(const QString &s)
{
    QVector<Token> out;
    int i = 0;
    while (i < s.size()) {
        const QChar c = s[i];
        int end = i + 1;
        Token::Kind kind = Token::Punct;
        if (c.isSpace()) {
            while (end < s.size() && s[end].isSpace())
                ++end;
            kind = Token::Blank;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            end = literalEnd(s, i, c);
            kind = c == QLatin1Char('\'') ? Token::String : Token::QuotedName;
        } else if (c == QLatin1Char('[') || c == QLatin1Char('#')) {
            const QChar close = c == QLatin1Char('[') ? QLatin1Char(']') : QLatin1Char('#');
            const int at = s.indexOf(close, i + 1);
            if (at < 0) {
                throw AppError(
                    c == QLatin1Char('[')
                        ? QStringLiteral("The name %1 in the statement has no closing ]").arg(s.mid(i))
                        : QStringLiteral("The date literal %1 in the statement has no closing #").arg(s.mid(i)));
            }
            out.push_back({c == QLatin1Char('[') ? Token::Bracketed : Token::Date, s.mid(i + 1, at - i - 1)});
            i = at + 1;
            continue;
        } else if (c.isDigit()) {
            while (end < s.size() && (isNameChar(s[end]) || s[end] == QLatin1Char('.')))
                ++end;
            kind = Token::Number;
        } else if (isNameStart(c)) {
            while (end < s.size() && isNameChar(s[end]))
                ++end;
            kind = Token::Name;
        }
        out.push_back({kind, s.mid(i, end - i)});
        i = end;
    }
    return out;
}

// Reserved words of PostgreSQL that cannot stand unquoted as a table or column name.
bool isPostgresReserved(const QString &lower)
{
    static const QSet<QString> words = [] {
        QSet<QString> w;
        // clang-format off
        const char *list[] = {
            "all", "analyse", "analyze", "and", "any", "array", "as", "asc", "asymmetric",
            "authorization", "between", "binary", "both", "case", "cast", "check", "collate",
            "collation", "column", "concurrently", "constraint", "create", "cross",
            "current_catalog", "current_date", "current_role", "current_schema", "current_time",
            "current_timestamp", "current_user", "default", "deferrable", "desc", "distinct", "do",
            "else", "end", "except", "false", "fetch", "for", "foreign", "freeze", "from", "full",
            "grant", "group", "having", "ilike", "in", "initially", "inner", "intersect", "into",
            "is", "isnull", "join", "lateral", "leading", "left", "like", "limit", "localtime",
            "localtimestamp", "natural", "not", "notnull", "null", "offset", "on", "only", "or",
            "order", "outer", "overlaps", "placing", "primary", "references", "returning", "right",
            "select", "session_user", "similar", "some", "symmetric", "system_user", "table",
            "tablesample", "then", "to", "trailing", "true", "union", "unique", "user", "using",
            "variadic", "verbose", "when", "where", "window", "with"};
        // clang-format on
        for (const char *s : list)
            w.insert(QString::fromLatin1(s));
        return w;
    }();
    return words.contains(lower);
}

QString postgresName(const QString &name)
{
    QString lower = name;
    for (QChar &c : lower) {
        if (c.unicode() < 0x80)
            c = c.toLower(); // the server folds ASCII letters only
    }
    bool plain = !lower.isEmpty() && isNameStart(lower[0]) && !isPostgresReserved(lower);
    for (const QChar c : lower)
        plain = plain && isNameChar(c);
    if (plain)
        return lower;
    return QLatin1Char('"') + QString(lower).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

class Translator {
public:
    Translator(const QVector<Token> &tokens, Dialect dialect) : m_t(tokens), m_d(dialect) {}

    QString run(int from, int to) const
    {
        QString out;
        for (int i = from; i < to; ++i) {
            const Token &t = m_t[i];
            switch (t.kind) {
            case Token::Bracketed:
                out += m_d == Dialect::SQLite
                           ? QLatin1Char('"') + QString(t.text).replace(QLatin1Char('"'), QStringLiteral("\"\""))
                                 + QLatin1Char('"')
                           : postgresName(t.text);
                break;
            case Token::Date: {
                const QString iso = dateLiteralToIso(t.text);
                if (iso.isEmpty())
                    throw AppError(
                        QStringLiteral("The date literal #%1# in the statement is not a valid date").arg(t.text));
                out += QLatin1Char('\'') + iso + QLatin1Char('\'');
                break;
            }
            case Token::Name: i = name(i, to, out); break;
            default: out += t.text;
            }
        }
        return out;
    }

private:
    int nextSolid(int i, int to) const
    {
        while (i < to && m_t[i].kind == Token::Blank)
            ++i;
        return i;
    }

    bool isPunct(int i, int to, const char *p) const
    {
        return i < to && m_t[i].kind == Token::Punct && m_t[i].text == QLatin1String(p);
    }

    // Writes the name at i (rewritten where it is a keyword of interest); returns the last
    // token consumed.
    int name(int i, int to, QString &out) const
    {
        const QString &text = m_t[i].text;
        const bool qualified = i > 0 && m_t[i - 1].kind == Token::Punct
                               && QStringLiteral(".:@").contains(m_t[i - 1].text);
        const QString key = text.toUpper();
        if (qualified) {
            out += text;
            return i;
        }
        if (key == QLatin1String("DELETE")) {
            out += text;
            const int star = nextSolid(i + 1, to);
            if (!isPunct(star, to, "*"))
                return i;
            if (star + 1 >= to || m_t[star + 1].kind != Token::Blank)
                out += QLatin1Char(' ');
            return star;
        }
        if (key == QLatin1String("LEFT") || key == QLatin1String("RIGHT")) {
            const int open = nextSolid(i + 1, to);
            if (isPunct(open, to, "("))
                return function(key == QLatin1String("LEFT"), text, open, to, out);
        }
        if (key == QLatin1String("TRUE") || key == QLatin1String("FALSE")) {
            if (m_d == Dialect::SQLite)
                out += key == QLatin1String("TRUE") ? QLatin1Char('1') : QLatin1Char('0');
            else
                out += text;
            return i;
        }
        if (key == QLatin1String("LIKE") && m_d == Dialect::PostgreSQL) {
            out += QStringLiteral("ILIKE");
            return i;
        }
        out += text;
        return i;
    }

    // LEFT(x,n) or RIGHT(x,n) whose "(" is at `open`; the arguments are translated in turn.
    int function(bool left, const QString &written, int open, int to, QString &out) const
    {
        QVector<int> commas;
        int depth = 0;
        int close = -1;
        for (int j = open + 1; j < to && close < 0; ++j) {
            if (isPunct(j, to, "("))
                ++depth;
            else if (isPunct(j, to, ")") && depth-- == 0)
                close = j;
            else if (depth == 0 && isPunct(j, to, ","))
                commas << j;
        }
        if (close < 0)
            throw AppError(QStringLiteral("%1( in the statement has no closing parenthesis").arg(written));
        if (commas.size() != 1)
            throw AppError(QStringLiteral("%1 in the statement needs two arguments, text and length").arg(written));
        const QString x = run(open + 1, commas[0]).trimmed();
        const QString n = run(commas[0] + 1, close).trimmed();
        if (x.isEmpty() || n.isEmpty())
            throw AppError(QStringLiteral("%1 in the statement needs two arguments, text and length").arg(written));
        if (m_d == Dialect::PostgreSQL) {
            out += QStringLiteral("%1(%2,%3)").arg(left ? QStringLiteral("left") : QStringLiteral("right"), x, n);
        } else if (left) {
            out += QStringLiteral("substr(%1,1,%2)").arg(x, n);
        } else {
            // substr(x,-0) would be the whole text: a length that is not a positive number is
            // also passed as substr's count, which makes RIGHT(x,0) empty as in Jet.
            bool number = false;
            const int count = n.toInt(&number);
            out += number && count > 0 ? QStringLiteral("substr(%1,-%2)").arg(x, n)
                                       : QStringLiteral("substr(%1,-(%2),%2)").arg(x, n);
        }
        return close;
    }

    const QVector<Token> &m_t;
    Dialect m_d;
};

} // namespace

QString translate(const QString &jet, Dialect dialect)
{
    const QVector<Token> tokens = tokenize(jet);
    return Translator(tokens, dialect).run(0, tokens.size());
}

QString quoted(const QString &value)
{
    return QString(value).replace(QLatin1Char('\''), QStringLiteral("''"));
}

} // namespace JetSql
