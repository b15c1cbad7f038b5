#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// One input of each fuzz target, run exactly as the fuzzer runs it. The
// libFuzzer targets and the regression test (tst_fuzzregressions) share these
// functions, so nothing here depends on libFuzzer.
//
// A QApplication must exist before prepareProcess() and the first input. Every
// file any target writes lies below temporary folders of its own; nothing
// opens a socket, starts a program or shows a dialog that waits for a user.
namespace FuzzEntries {

// Readies the process once: HOME and the XDG folders point into a temporary
// folder (desktop shortcuts and default paths land there), desktop links are
// caught instead of handed to the desktop, modal dialogs are rejected as soon
// as they run their event loop, and the components' debug output is off.
void prepareProcess();

// fuzz_message: the input as one text message from the server, through
// PluginNetConnection::parseJsonMessageSlot, against a client whose job list
// holds a few dozen jobs in every state.
void runMessage(const QByteArray& input);

// fuzz_cfg: the input as a job's cfg, read with the three flag combinations
// of CfgReader::readJobConfig and by serverNumberForUpload; then the input as
// the live-upload list, read through the live-upload job.
void runCfg(const QByteArray& input);

// fuzz_filelist: the input as an output listing through
// DownloadListUpdater::fileListUpdateSlot against a small local output
// folder. The input is the "data" of a "getOutputDir" answer ("files" and
// "folders"), the whole answer, or else two halves each read as a JSON array.
void runFileList(const QByteArray& input);

// fuzz_settings: the input as settings.ini through KiteSettings::load, then
// saveToIni() and load() again.
void runSettings(const QByteArray& input);

// A message text read as a projects list the fast way and the general way:
// empty when both agree or the fast reader leaves the text to the general
// way, else what differs. Sets *fast when the fast reader took the text.
QString projectsListDifference(const QByteArray& text, bool* fast = nullptr);

using Entry = void (*)(const QByteArray&);

// The entry of a target by its name ("fuzz_message", "fuzz_cfg",
// "fuzz_filelist", "fuzz_settings"); nullptr for any other name.
Entry entry(const QString& target);
QStringList targets();

// The next input of every target starts from a freshly built state (the
// message target otherwise rebuilds its client only every few hundred inputs).
void restart();

// Deletes every object and temporary folder the entries made. Call before the
// QApplication goes.
void shutdown();

// Desktop links and modal dialogs caught so far (for the tests).
int urlsCaught();
int modalDialogsRejected();

} // namespace FuzzEntries
