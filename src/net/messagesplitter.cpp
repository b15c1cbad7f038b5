#include "net/messagesplitter.h"

QString MessageSplitter::lastObject(const QString& text)
{
    // One pass over the UTF-16 units; the projects list runs to megabytes,
    // so the inside of a string is skipped in a loop of its own.
    const ushort* units = text.utf16();
    const int size = text.size();
    bool firstObject = true;
    int depth = 0;
    int start = 0;

    for (int i = 0; i < size; ++i) {
        const ushort c = units[i];
        if (c == '"') {
            // To the closing quote; an escaped character is passed over.
            for (++i; i < size && units[i] != '"'; ++i) {
                if (units[i] == '\\')
                    ++i;
            }
        } else if (c == '{') {
            if (depth == 0) {
                if (firstObject)
                    firstObject = false;
                else
                    start = i;
            }
            ++depth;
        } else if (c == '}') {
            --depth;
        }
    }
    return start != 0 ? text.mid(start) : text;
}
