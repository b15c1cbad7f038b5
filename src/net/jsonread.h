#pragma once

#include <QJsonValue>
#include <QString>

#include <cmath>

// Reading members of server messages. Strings are taken as they are; a number
// where a text is expected is read as its integer text, so ids and counts sent
// as numbers are not lost. Anything else reads as empty text or 0.
namespace JsonRead {

// The text of a number: whole numbers within the 64-bit range as integers,
// others (fractions, 1e300) as their shortest exact text.
inline QString numberText(double number)
{
    const bool inRange = number >= -9223372036854775808.0 && number < 9223372036854775808.0;
    if (inRange && number == std::trunc(number))
        return QString::number(static_cast<qint64>(number));
    return QString::number(number, 'g', 17);
}

// A number as a 64-bit integer, its fraction dropped; -1 beyond that range,
// which no size or count of this system reaches.
inline qint64 wholeInteger64(double number)
{
    if (number >= -9223372036854775808.0 && number < 9223372036854775808.0)
        return static_cast<qint64>(number);
    return -1;
}

// A number as an int: whole numbers within the int range; fallback otherwise.
inline int wholeNumber(double number, int fallback)
{
    if (number >= -2147483648.0 && number <= 2147483647.0 && number == std::trunc(number))
        return static_cast<int>(number);
    return fallback;
}

// A decimal text as an int; 0 when it is none.
inline int decimalText(const QString& text)
{
    bool ok = false;
    const int number = text.trimmed().toInt(&ok, 10);
    return ok ? number : 0;
}

inline QString text(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return numberText(value.toDouble());
    return QString();
}

// An integer from a number or from a decimal text; 0 for any other text.
inline int integer(const QJsonValue& value, int fallback = 0)
{
    if (value.isDouble())
        return value.toInt(fallback);
    if (value.isString())
        return decimalText(value.toString());
    return fallback;
}

// True when the member exists and is not JSON null.
inline bool present(const QJsonValue& value)
{
    return !value.isUndefined() && !value.isNull();
}

} // namespace JsonRead
