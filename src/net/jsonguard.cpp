#include "net/jsonguard.h"

#include <QSet>
#include <QString>
#include <QVector>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

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
    // A name as the parser sees it: most names carry no escape, and their
    // bytes in the text are their name; the few that do are decoded once and
    // kept in `decoded`.
    struct Name
    {
        const char* data;
        int size;
        bool operator==(const Name& other) const
        {
            return size == other.size && std::memcmp(data, other.data, size_t(size)) == 0;
        }
    };
    // The names of the open objects, one after the other; each open
    // container remembers where its names begin (arrays have none). Objects
    // with many members get a hash set of their names.
    struct Level
    {
        size_t firstName = 0;
        bool isObject = false;
        std::unique_ptr<QSet<QByteArray>> set;
    };
    constexpr size_t setThreshold = 16;
    std::vector<Level> levels;
    std::vector<Name> names;
    std::deque<QByteArray> decoded;
    int depth = 0;

    const char* const begin = json.constData();
    const int size = json.size();
    int pos = 0;
    Name lastString{begin, 0};
    bool stringPending = false; // a string was the last token: a name if ':' follows
    while (pos < size) {
        const char c = begin[pos++];
        switch (c) {
        case '"': {
            const int start = pos;
            bool escapes = false;
            while (pos < size && begin[pos] != '"') {
                if (begin[pos] == '\\') {
                    escapes = true;
                    ++pos;
                }
                ++pos;
            }
            const int end = qMin(pos, size);
            if (pos < size)
                ++pos; // the closing quote
            if (escapes) {
                int from = start;
                decoded.push_back(readString(json, from).toUtf8());
                lastString = Name{decoded.back().constData(), int(decoded.back().size())};
            } else {
                lastString = Name{begin + start, end - start};
            }
            stringPending = true;
            continue;
        }
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            continue;
        case ':':
            if (stringPending && depth > 0 && depth <= maxTrackedDepth && levels[size_t(depth - 1)].isObject) {
                Level& level = levels[size_t(depth - 1)];
                if (level.set) {
                    const QByteArray name = QByteArray::fromRawData(lastString.data, lastString.size);
                    if (level.set->contains(name))
                        return true;
                    level.set->insert(name);
                } else {
                    for (size_t i = level.firstName; i < names.size(); ++i) {
                        if (names[i] == lastString)
                            return true;
                    }
                    names.push_back(lastString);
                    if (names.size() - level.firstName > setThreshold) {
                        level.set = std::make_unique<QSet<QByteArray>>();
                        for (size_t i = level.firstName; i < names.size(); ++i)
                            level.set->insert(QByteArray::fromRawData(names[i].data, names[i].size));
                        names.resize(level.firstName);
                    }
                }
            }
            break;
        case '{':
        case '[':
            ++depth;
            if (depth <= maxTrackedDepth) {
                Level level;
                level.firstName = names.size();
                level.isObject = c == '{';
                levels.push_back(std::move(level));
            }
            break;
        case '}':
        case ']':
            if (depth > 0) {
                if (depth <= maxTrackedDepth) {
                    names.resize(levels.back().firstName);
                    levels.pop_back();
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
