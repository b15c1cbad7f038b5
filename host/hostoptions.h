#pragma once

#include <QString>
#include <QStringList>

// Command line of the reference host.
struct HostOptions
{
    bool probe = false;
    bool help = false;            // --help: print usage() and stop
    QString appDir;
    QString pluginDir;            // empty: defaultPluginDir()
    double exitAfterSeconds = -1; // < 0: run until SIGINT/SIGTERM
    int retryBaseMs = 0;          // first delay of the login back-off; 0: the default
    QString menuSnapshot;         // picture of the job menu written at exit
    bool acceptUpdates = false;   // fetch the files of an announced update
    QString farmStorage;          // the farm simulator's storage folder: the stand-in transfers copy there
    int uploadPaceMs = 0;         // delay between two copy steps of the stand-in uploader
    int downloadPaceMs = 0;       // delay between two copy steps of the stand-in downloader
    bool traceSignals = false;    // print a line for every signal of the plug-in
    bool verbose = false;         // let the debug output of the plug-in and the host through
    bool noDesktop = false;       // print the folders and links the plug-in opens instead of opening them

    // Parses the arguments; returns false with `error` set when they are
    // unusable, and false with `help` set when help was asked for. Needs no
    // application object, so that the options can choose which one to make.
    static bool parse(const QStringList& arguments, HostOptions& options, QString& error);
    // Needs the application object.
    static QString usage();
    // "plugins" beside the program's folder; needs the application object.
    static QString defaultPluginDir();
};
