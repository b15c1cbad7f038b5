#pragma once

#include <QByteArray>

// Checks on JSON text from the server that come before Qt's parser sees it.
//
// Qt 5.15's JSON parser loses the memory of a member's value when a later
// member of the same object has the same name ({"a": {}, "a": {}}): every such
// message would leak a little. No message of the job-queue server repeats a
// member name, so such texts are refused instead of parsed.
namespace JsonGuard {

// True when some object of the JSON text names a member twice. Names are
// compared as the parser sees them, after decoding escapes ("a" and "\u0061"
// are the same name). The text need not be valid JSON; the scan is linear and
// keeps at most one set of names for each of the first 1024 nesting levels
// (the parser refuses deeper documents).
bool hasRepeatedMemberName(const QByteArray& json);

} // namespace JsonGuard
