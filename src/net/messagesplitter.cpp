#include "net/messagesplitter.h"

QString MessageSplitter::lastObject(const QString& text)
{
    bool inString = false;
    bool escaped = false;
    bool firstObject = true;
    int depth = 0;
    int start = 0;

    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == QLatin1Char('\\'))
                escaped = true;
            else if (c == QLatin1Char('"'))
                inString = false;
            continue;
        }
        if (c == QLatin1Char('"')) {
            inString = true;
        } else if (c == QLatin1Char('{')) {
            if (depth == 0) {
                if (firstObject)
                    firstObject = false;
                else
                    start = i;
            }
            ++depth;
        } else if (c == QLatin1Char('}')) {
            --depth;
        }
    }
    return start != 0 ? text.mid(start) : text;
}
