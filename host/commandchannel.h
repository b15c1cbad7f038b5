#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class JobCommands;
class KiteSettings;
class LoginKeeper;
class PluginNetConnectionInterface;
class QTextStream;
class QuestionAnswerer;
class StdinLineReader;

// The host's command channel: one request per line on standard input, as a
// person's click in the tray would make it, each answered by one line on
// standard output, "ok ..." or "error: <reason>". Lines are read on the event
// loop; the end of the input changes nothing else. Commands about jobs go to
// JobCommands; the others call the plug-in's interface functions, with the
// run-time flags the host owns set the way the tray sets them.
class CommandChannel : public QObject
{
    Q_OBJECT
public:
    CommandChannel(PluginNetConnectionInterface* plugin, KiteSettings* settings, LoginKeeper* loginKeeper,
                   QTextStream& out, QObject* parent = nullptr);

    // Starts reading standard input; false when there is none to read.
    bool start(QString* why = nullptr);

    // The commands, one per line, for --help.
    static QString helpText();

    // Handles one line and returns its answer; empty for a blank or comment
    // line, which gets none.
    QString handle(const QString& line);

    // Splits a line into words: blanks separate them, "..." and '...' keep
    // blanks inside a word (a backslash escapes the next character within
    // double quotes). False with `error` set when a quote is not closed.
    static bool splitWords(const QString& line, QStringList& words, QString& error);

signals:
    // "quit": the host shuts down through the plug-in's exit path.
    void quitRequested();

private:
    void lineRead(const QString& line);
    QString onOff(const QStringList& args, const QString& command, bool& on) const;
    QString sync(const QStringList& args);
    QString tunnel(const QStringList& args);
    QString logout();
    QString reconnect();
    QString uploadLogs();
    QString openLink(const QStringList& args);
    static QStringList commandNames();

    PluginNetConnectionInterface* m_plugin;
    KiteSettings* m_settings;
    LoginKeeper* m_loginKeeper;
    QTextStream& m_out;
    StdinLineReader* m_reader;
    QuestionAnswerer* m_answerer;
    JobCommands* m_jobCommands;
    bool m_quitting = false;
};
