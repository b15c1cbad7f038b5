// The libFuzzer side of one fuzz target: the process and its QApplication are
// made once, every input goes to the target's entry in FuzzEntries.
// KITE_FUZZ_TARGET names the target ("fuzz_message", ...); fuzz/CMakeLists.txt
// builds this file once per target.

#include "fuzzentries.h"

#include <QApplication>
#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifndef KITE_FUZZ_TARGET
#error "KITE_FUZZ_TARGET must name the fuzz target"
#endif

namespace {

FuzzEntries::Entry g_entry = nullptr;

// Qt's and the components' messages would only slow the runs down; fatal ones
// still end the process, so that the fuzzer keeps the input.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtFatalMsg)
        return;
    std::fprintf(stderr, "fatal Qt message: %s\n", qPrintable(message));
    std::fflush(stderr);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("KITE_FUZZ_VERBOSE"))
        qInstallMessageHandler(quietMessages);

    // QApplication keeps references to its arguments: they live as long as
    // the process, and so does the application.
    static int appArgc = 1;
    static char appName[] = KITE_FUZZ_TARGET;
    static char* appArgv[] = {appName, nullptr};
    new QApplication(appArgc, appArgv);

    FuzzEntries::prepareProcess();
    g_entry = FuzzEntries::entry(QStringLiteral(KITE_FUZZ_TARGET));
    if (!g_entry) {
        std::fprintf(stderr, "unknown fuzz target %s\n", KITE_FUZZ_TARGET);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy: Qt's byte arrays end in a terminating zero, raw fuzzer data does not.
    g_entry(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    return 0;
}
