#pragma once

#include <QString>

// The server sometimes writes several JSON objects into one text message; only
// the last one counts.
class MessageSplitter
{
public:
    // Returns the last of several concatenated top-level objects, or the text
    // unchanged when it holds one object. Braces inside strings, including
    // strings with escaped quotes, are not counted.
    static QString lastObject(const QString& text);
};
