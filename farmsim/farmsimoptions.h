#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

// Command line of the farm simulator program.
struct FarmSimOptions
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;
    QString accountsFile;
    QString certificateFile; // PEM; with keyFile: serve wss://
    QString keyFile;
    QString storageDir;      // the farm's files; empty: none kept
    int paceMs = 500;        // interval of the render steps
    int frames = 4;          // frames of a submitted job
    QString autoupdateFile;  // JSON object answered as "autoupdate" content
    int projects = 0;        // projects every account has in its list from the start

    // Parses the arguments; returns false with `error` set when they are
    // unusable (or help was asked for: `error` then holds the help text).
    static bool parse(const QStringList& arguments, FarmSimOptions& options, QString& error);
    // "HOST:PORT" or "[IPv6]:PORT"; HOST may be "localhost". Loopback only.
    static bool parseListen(const QString& text, QHostAddress& address, quint16& port, QString& error);
};
