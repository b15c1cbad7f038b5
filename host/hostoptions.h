#pragma once

#include <QString>
#include <QStringList>

// Command line of the reference host.
struct HostOptions
{
    bool probe = false;
    QString appDir;
    QString pluginDir;
    double exitAfterSeconds = -1; // < 0: run until SIGINT/SIGTERM
    int retryBaseMs = 0;          // first delay of the login back-off; 0: the default
    QString menuSnapshot;         // picture of the job menu written at exit
    bool acceptUpdates = false;   // fetch the files of an announced update
    QString farmStorage;          // the farm simulator's storage folder: the stand-in transfers copy there
    int uploadPaceMs = 0;         // delay between two copy steps of the stand-in uploader
    int downloadPaceMs = 0;       // delay between two copy steps of the stand-in downloader

    // Parses the arguments; returns false with `error` set when they are unusable.
    static bool parse(const QStringList& arguments, HostOptions& options, QString& error);
    static QString usage();
};
