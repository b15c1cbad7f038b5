#pragma once

#include <QByteArray>
#include <QString>

// Helpers the entries share (not part of the entries' interface).
namespace FuzzSupport {

// Reports a broken invariant of a target and aborts, so that the fuzzer keeps
// the input and the regression test fails.
[[noreturn]] void fail(const char* target, const QString& what);

// Runs what the last input queued: posted events, zero-time timers and
// deferred deletions.
void settle();

// Answers every visible dialog with Cancel.
void closeDialogs();

// Answers every visible dialog with Cancel and deletes every top-level dialog.
void deleteDialogs();

// Writes bytes to a file (folders are made as needed); false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);

// Drop the state of the message target, and of the file targets, so that the
// next input builds it anew.
void restartMessage();
void restartFiles();

} // namespace FuzzSupport
