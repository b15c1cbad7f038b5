#include "commandchannel.h"

#include "commandlogging.h"
#include "jobcommands.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "pluginnetconnectioninterface.h"
#include "questionanswerer.h"
#include "settings/kitesettings.h"
#include "stdinlinereader.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QUrl>

Q_LOGGING_CATEGORY(lcCommands, "kite.host.commands")

CommandChannel::CommandChannel(PluginNetConnectionInterface* plugin, KiteSettings* settings,
                               LoginKeeper* loginKeeper, QTextStream& out, QObject* parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_settings(settings)
    , m_loginKeeper(loginKeeper)
    , m_out(out)
    , m_reader(new StdinLineReader(this))
    , m_answerer(new QuestionAnswerer(settings, this))
    , m_jobCommands(new JobCommands(settings, m_answerer, this))
{
    connect(m_reader, &StdinLineReader::lineRead, this, &CommandChannel::lineRead);
    connect(m_reader, &StdinLineReader::endOfInput, this, [] { qCDebug(lcCommands) << "end of standard input"; });
    // Questions a download asks later, long after the command that led to it.
    connect(m_answerer, &QuestionAnswerer::questionSeen, this,
            [this](KiteProject* job, const QString& question, const QString& answered) {
                const QString jobName = JobCommands::quoted(job->name);
                m_out << "question: job " << jobName << " asks " << JobCommands::quoted(question)
                      << (answered.isEmpty() ? tr(", waiting for: answer %1 yes|no|all").arg(jobName)
                                             : tr(", answered %1").arg(answered))
                      << '\n';
                m_out.flush();
            });
}

bool CommandChannel::start(QString* why)
{
    return m_reader->start(why);
}

QStringList CommandChannel::commandNames()
{
    return {QStringLiteral("help"),           QStringLiteral("jobs"),         QStringLiteral("action"),
            QStringLiteral("click"),          QStringLiteral("notification"), QStringLiteral("answer"),
            QStringLiteral("sync"),           QStringLiteral("settings-saved"), QStringLiteral("check-updates"),
            QStringLiteral("tunnel"),         QStringLiteral("reconnect"),    QStringLiteral("logout"),
            QStringLiteral("upload-logs"),    QStringLiteral("open-link"),    QStringLiteral("quit")};
}

QString CommandChannel::helpText()
{
    const auto t = [](const char* text) { return QCoreApplication::translate("CommandChannel", text); };
    return t("Commands on standard input, one per line, each answered by one line \"ok ...\" or \"error: ...\"\n"
             "(names with blanks in \"double\" or 'single' quotes, or as the rest of the line):\n")
        + t("  jobs                          every job: status line and the actions its menu offers\n"
            "  action <job> <action> [--answer yes|no|all] [--folder DIR]\n"
            "                                triggers an action of the job's menu by its own name\n"
            "                                (\"Pause upload\", \"Delete Job...\", ...); --answer answers the\n"
            "                                question it asks (also a later overwrite question), --folder\n"
            "                                the folder dialog\n"
            "  click <job>                   a click on the job's entry\n"
            "  notification <job> <type>     a click on the job's last notification of that type\n"
            "  answer <job> yes|no|all       answers the job's open overwrite question\n"
            "  sync on|off                   switches the synchronisation on (with a refresh) or off\n"
            "  settings-saved                the settings were saved\n"
            "  check-updates                 asks the farm for updates\n"
            "  tunnel on|off                 the licence tunnel\n"
            "  reconnect                     connects and logs in again\n"
            "  logout                        logs out (no new login until reconnect)\n"
            "  upload-logs                   sends the log files to support\n"
            "  open-link <url>               opens a portal link with the login token\n"
            "  quit                          shuts down as on SIGTERM\n"
            "  help                          lists the commands");
}

bool CommandChannel::splitWords(const QString& line, QStringList& words, QString& error)
{
    words.clear();
    QString word;
    bool inWord = false;
    QChar quote;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else if (quote == QLatin1Char('"') && c == QLatin1Char('\\') && i + 1 < line.size())
                word += line.at(++i);
            else
                word += c;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (!quote.isNull()) {
        error = QCoreApplication::translate("CommandChannel", "the quote %1 is not closed").arg(quote);
        return false;
    }
    if (inWord)
        words << word;
    return true;
}

void CommandChannel::lineRead(const QString& line)
{
    if (m_quitting)
        return;
    const QString answer = handle(line);
    if (answer.isEmpty())
        return;
    m_out << answer << '\n';
    m_out.flush();
    if (m_quitting) {
        m_reader->stop();
        emit quitRequested();
    }
}

QString CommandChannel::handle(const QString& line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
        return QString();
    QStringList words;
    QString error;
    if (!splitWords(trimmed, words, error))
        return tr("error: %1").arg(error);
    if (words.isEmpty())
        return QString();
    const QString command = words.takeFirst().toLower();
    qCDebug(lcCommands) << "command" << command;

    if (command == QLatin1String("help"))
        return tr("ok commands: %1 (kitehost --help explains them)").arg(commandNames().join(QStringLiteral(", ")));
    if (command == QLatin1String("jobs"))
        return words.isEmpty() ? m_jobCommands->listJobs() : tr("error: usage: jobs");
    if (command == QLatin1String("action"))
        return m_jobCommands->runAction(words);
    if (command == QLatin1String("click"))
        return m_jobCommands->clickJob(words);
    if (command == QLatin1String("notification"))
        return m_jobCommands->clickNotification(words);
    if (command == QLatin1String("answer"))
        return m_jobCommands->answerQuestion(words);
    if (command == QLatin1String("sync"))
        return sync(words);
    if (command == QLatin1String("tunnel"))
        return tunnel(words);
    if (command == QLatin1String("open-link"))
        return openLink(words);

    // The commands without arguments.
    const QStringList plain{QStringLiteral("settings-saved"), QStringLiteral("check-updates"),
                            QStringLiteral("reconnect"),      QStringLiteral("logout"),
                            QStringLiteral("upload-logs"),    QStringLiteral("quit")};
    if (!plain.contains(command)) {
        return tr("error: unknown command %1; commands: %2")
            .arg(JobCommands::quoted(command), commandNames().join(QStringLiteral(", ")));
    }
    if (!words.isEmpty())
        return tr("error: %1 takes no arguments").arg(command);
    if (command == QLatin1String("settings-saved")) {
        m_plugin->settingsSavedSlot();
        return tr("ok settings-saved: the projects folder %1 is watched").arg(m_settings->localProjectsFolder);
    }
    if (command == QLatin1String("check-updates")) {
        m_plugin->checkforUpdates();
        return tr("ok check-updates: asked the farm for updates");
    }
    if (command == QLatin1String("reconnect"))
        return reconnect();
    if (command == QLatin1String("logout"))
        return logout();
    if (command == QLatin1String("upload-logs"))
        return uploadLogs();
    m_quitting = true;
    return tr("ok quit: shutting down");
}

QString CommandChannel::onOff(const QStringList& args, const QString& command, bool& on) const
{
    const QString word = args.size() == 1 ? args.first().toLower() : QString();
    if (word != QLatin1String("on") && word != QLatin1String("off"))
        return tr("error: usage: %1 on|off").arg(command);
    on = word == QLatin1String("on");
    return QString();
}

QString CommandChannel::sync(const QStringList& args)
{
    bool on = false;
    const QString usage = onOff(args, QStringLiteral("sync"), on);
    if (!usage.isEmpty())
        return usage;
    // The host owns the flag and sets it again after every login. Switched
    // on, a refresh follows at once (it also brings on the download pass a
    // resumed download waits for).
    if (m_loginKeeper)
        m_loginKeeper->setSyncWanted(on);
    m_settings->syncActive = on;
    if (!on)
        return tr("ok sync off: transfers and the projects list rest");
    m_plugin->syncSlot();
    return tr("ok sync on: refresh asked for");
}

QString CommandChannel::tunnel(const QStringList& args)
{
    bool on = false;
    const QString usage = onOff(args, QStringLiteral("tunnel"), on);
    if (!usage.isEmpty())
        return usage;
    m_settings->connectLicenseServer = on;
    if (!on) {
        // The interface's way to the tunnel: its disconnect signal. With the
        // setting off, the tunnel does not start again by itself.
        m_plugin->disconnectLicenseTunnelSignal();
        return tr("ok tunnel off");
    }
    if (!m_settings->loggedIn)
        return tr("ok tunnel on: the licence set-up goes to the farm with the next login");
    // As after a login with the licence server configured: the farm gets the
    // local set-up and answers with its ports, with which the plug-in starts
    // the tunnel (connectLicenseTunnel). A tunnel started before the ports
    // are known would keep the old ones.
    if (QMetaObject::invokeMethod(m_plugin->getObject(), "sendSshInfo"))
        return tr("ok tunnel on: licence set-up sent to the farm, the tunnel starts with the ports it answers");
    m_plugin->connectLicenseTunnel();
    return tr("ok tunnel on: tunnel started");
}

QString CommandChannel::logout()
{
    if (m_loginKeeper)
        m_loginKeeper->hold();
    m_plugin->disconnectSlot();
    return tr("ok logout: disconnected; reconnect logs in again");
}

QString CommandChannel::reconnect()
{
    if (m_loginKeeper)
        m_loginKeeper->resume();
    m_plugin->reconnectWebsocketSlot();
    return tr("ok reconnect: connecting to %1").arg(m_settings->serverWss);
}

QString CommandChannel::uploadLogs()
{
    const bool sentBefore = m_settings->logFilesSent;
    m_plugin->uploadLogFilesSlot();
    return sentBefore ? tr("ok upload-logs: the log files went out earlier in this run; they are sent once per run")
                      : tr("ok upload-logs: log files sent");
}

QString CommandChannel::openLink(const QStringList& args)
{
    if (args.size() != 1)
        return tr("error: usage: open-link <url>");
    const QUrl url(args.first(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty())
        return tr("error: open-link needs an http or https link, not %1").arg(JobCommands::quoted(args.first()));
    m_plugin->openLinkWithTokenSlot(url.toString());
    return tr("ok open-link: login token asked for, then the link opens");
}
