#pragma once

#include <QJsonValue>
#include <QString>

#include <cmath>

// Reading members of server messages. Strings are taken as they are; a number
// where a text is expected is read as its integer text, so ids and counts sent
// as numbers are not lost. Anything else reads as empty text or 0.
namespace JsonRead {

inline QString text(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        // Whole numbers within the 64-bit range read as integers; others
        // (fractions, 1e300) as their shortest exact text.
        const bool inRange = number >= -9223372036854775808.0 && number < 9223372036854775808.0;
        if (inRange && number == std::trunc(number))
            return QString::number(static_cast<qint64>(number));
        return QString::number(number, 'g', 17);
    }
    return QString();
}

// An integer from a number or from a decimal text; 0 otherwise.
inline int integer(const QJsonValue& value, int fallback = 0)
{
    if (value.isDouble())
        return value.toInt(fallback);
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().trimmed().toInt(&ok, 10);
        return ok ? number : 0;
    }
    return fallback;
}

// True when the member exists and is not JSON null.
inline bool present(const QJsonValue& value)
{
    return !value.isUndefined() && !value.isNull();
}

} // namespace JsonRead
