#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class KiteSettings;
class PluginNetConnection;

// Sends the client's log and state files of the application directory to
// support, one "sendFile" request per file, once per run. Files larger than
// wholeFileLimit bytes contribute only their last tailLines lines. The
// settings file goes out with every password value replaced by "***". Files
// are only read, never changed.
class LogUpload : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 wholeFileLimit = 20000;
    static constexpr int tailLines = 5000;

    LogUpload(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    // The files looked for, in the order they are sent.
    static QStringList fileNames();

    void uploadLogFiles();

    // The "content" text for one file: "file date: ", its modification time,
    // a line feed, then the file's text (or its last lines). Empty when the
    // file cannot be read.
    static QString fileContent(const QString& path);
    // The text of a settings file with the value of every key whose name ends
    // in "password" (any letter case) replaced by "***".
    static QString redactSettings(const QString& text);

private:
    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
};
