#include "net/jsonguard.h"

#include <QSet>
#include <QString>
#include <QVector>

namespace {

constexpr int maxTrackedDepth = 1024;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the string that starts after the opening quote at `pos`; leaves
// `pos` after the closing quote (or at the end of an unterminated string).
QString readString(const QByteArray& json, int& pos)
{
    QString text;
    QByteArray raw; // undecoded UTF-8 since the last escape
    const int size = json.size();
    while (pos < size) {
        const char c = json.at(pos++);
        if (c == '"')
            break;
        if (c != '\\') {
            raw.append(c);
            continue;
        }
        text += QString::fromUtf8(raw);
        raw.clear();
        if (pos >= size)
            break;
        const char escaped = json.at(pos++);
        switch (escaped) {
        case 'b': text += QLatin1Char('\b'); break;
        case 'f': text += QLatin1Char('\f'); break;
        case 'n': text += QLatin1Char('\n'); break;
        case 'r': text += QLatin1Char('\r'); break;
        case 't': text += QLatin1Char('\t'); break;
        case 'u': {
            int unit = 0;
            int digits = 0;
            while (digits < 4 && pos < size && hexValue(json.at(pos)) >= 0) {
                unit = unit * 16 + hexValue(json.at(pos++));
                ++digits;
            }
            text += QChar(static_cast<ushort>(unit));
            break;
        }
        default: text += QLatin1Char(escaped); break; // \" \\ \/ and anything else
        }
    }
    text += QString::fromUtf8(raw);
    return text;
}

} // namespace

namespace JsonGuard {

bool hasRepeatedMemberName(const QByteArray& json)
{
    // One entry per open container: the names seen so far for an object, an
    // empty set that is never filled for an array.
    QVector<QSet<QString>> names;
    QVector<bool> isObject;
    int depth = 0;
    QString lastString;
    bool stringPending = false; // a string was the last token: a name if ':' follows

    const int size = json.size();
    int pos = 0;
    while (pos < size) {
        const char c = json.at(pos++);
        switch (c) {
        case '"':
            lastString = readString(json, pos);
            stringPending = true;
            continue;
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            continue;
        case ':':
            if (stringPending && depth > 0 && depth <= maxTrackedDepth && isObject.at(depth - 1)) {
                QSet<QString>& seen = names[depth - 1];
                if (seen.contains(lastString))
                    return true;
                seen.insert(lastString);
            }
            break;
        case '{':
        case '[':
            ++depth;
            if (depth <= maxTrackedDepth) {
                names.append(QSet<QString>());
                isObject.append(c == '{');
            }
            break;
        case '}':
        case ']':
            if (depth > 0) {
                if (depth <= maxTrackedDepth) {
                    names.removeLast();
                    isObject.removeLast();
                }
                --depth;
            }
            break;
        default:
            break;
        }
        stringPending = false;
    }
    return false;
}

} // namespace JsonGuard
