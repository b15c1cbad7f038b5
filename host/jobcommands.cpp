#include "jobcommands.h"

#include "commandlogging.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>

namespace {
// Names listed in an error message at most; the rest is counted.
constexpr int maxNamesListed = 20;

QString listed(const QStringList& names)
{
    if (names.isEmpty())
        return QCoreApplication::translate("JobCommands", "none");
    if (names.size() <= maxNamesListed)
        return names.join(QStringLiteral(", "));
    return names.mid(0, maxNamesListed).join(QStringLiteral(", "))
        + QCoreApplication::translate("JobCommands", " and %1 more").arg(names.size() - maxNamesListed);
}

QString normalized(QString name)
{
    name = name.simplified().toCaseFolded();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name.trimmed();
}
} // namespace

// In menu order.
const JobCommands::Named JobCommands::s_actions[] = {
    {"Open download folder", &KiteProject::openDownloadFolderAction},
    {"Change download destination", &KiteProject::changeDownloadDestinationAction},
    {"High upload priority", &KiteProject::highUploadPriorityAction},
    {"High download priority", &KiteProject::highDownloadPriorityAction},
    {"Pause upload", &KiteProject::pauseUploadAction},
    {"Autostart render", &KiteProject::autostartAction},
    {"Pause download", &KiteProject::pauseDownloadAction},
    {"Delete Job...", &KiteProject::deleteAction},
    {"Support Ticket...", &KiteProject::supportTicketAction},
    {"Restart upload", &KiteProject::restartUploadAction},
    {"Restart download", &KiteProject::restartDownloadAction},
};

JobCommands::JobCommands(KiteSettings* settings, QuestionAnswerer* answerer, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_answerer(answerer)
{
    connect(m_settings, &KiteSettings::showMessageSignal, this,
            [this](const QString&, const QString&, const QString& type, KiteProject* job) {
                if (job)
                    noteNotification(job, type);
            });
}

void JobCommands::noteNotification(KiteProject* job, const QString& type)
{
    auto it = m_notificationTypes.find(job);
    if (it == m_notificationTypes.end()) {
        it = m_notificationTypes.insert(job, {});
        connect(job, &QObject::destroyed, this, [this, job] { m_notificationTypes.remove(job); });
    }
    it->removeAll(type);
    it->append(type);
}

QString JobCommands::quoted(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QList<KiteProject*> JobCommands::visibleJobs() const
{
    QList<KiteProject*> jobs;
    for (KiteProject* job : qAsConst(m_settings->jobList)) {
        if (job->jobAction && !job->isDeletedLocal)
            jobs << job;
    }
    return jobs;
}

KiteProject* JobCommands::findJob(const QString& name) const
{
    const QList<KiteProject*> jobs = visibleJobs();
    for (KiteProject* job : jobs) {
        if (job->name == name)
            return job;
    }
    // Otherwise without regard to case, when that names one job only.
    KiteProject* found = nullptr;
    for (KiteProject* job : jobs) {
        if (job->name.compare(name, Qt::CaseInsensitive) == 0) {
            if (found)
                return nullptr;
            found = job;
        }
    }
    return found;
}

QString JobCommands::jobNames() const
{
    QStringList names;
    const QList<KiteProject*> jobs = visibleJobs();
    for (KiteProject* job : jobs)
        names << quoted(job->name);
    return listed(names);
}

QString JobCommands::noSuchJob(const QString& name) const
{
    return tr("error: no job %1; jobs: %2").arg(quoted(name), jobNames());
}

QString JobCommands::status(KiteProject* job)
{
    return job->jobAction->text().simplified();
}

bool JobCommands::sameName(const QString& a, const QString& b)
{
    return normalized(a) == normalized(b);
}

QString JobCommands::ownName(KiteProject* job, QAction* action)
{
    for (const Named& named : s_actions) {
        if (job->*named.action == action)
            return QString::fromLatin1(named.name);
    }
    return action->text();
}

QAction* JobCommands::findAction(KiteProject* job, const QString& name)
{
    job->subMenu();
    for (const Named& named : s_actions) {
        if (sameName(QString::fromLatin1(named.name), name))
            return job->*named.action;
    }
    // The error entry, and the texts as the menu shows them (translated),
    // unless they are the job's name.
    const QList<QAction*> actions = job->subMenu()->actions();
    for (QAction* action : actions) {
        if (!action->isSeparator() && action->text() != job->name && sameName(action->text(), name))
            return action;
    }
    return nullptr;
}

QStringList JobCommands::offeredActions(KiteProject* job, bool markChecked)
{
    QStringList names;
    const QList<QAction*> actions = job->subMenu()->actions();
    for (QAction* action : actions) {
        if (action->isSeparator() || !action->isVisible())
            continue;
        QString name = ownName(job, action);
        if (markChecked && action->isCheckable() && action->isChecked())
            name += tr(" (on)");
        names << name;
    }
    return names;
}

QString JobCommands::listJobs()
{
    const QList<KiteProject*> jobs = visibleJobs();
    QString line = jobs.size() == 1 ? tr("ok 1 job") : tr("ok %1 jobs").arg(jobs.size());
    for (KiteProject* job : jobs) {
        line += QStringLiteral("; ") + quoted(job->name) + QStringLiteral(": ") + status(job) + QStringLiteral(" [")
            + offeredActions(job, true).join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    return line;
}

QString JobCommands::runAction(const QStringList& words)
{
    const QString usage = tr("error: usage: action <job> <action> [--answer yes|no|all] [--folder DIR]");
    QStringList names;
    QuestionAnswerer::Answer answer = QuestionAnswerer::Answer::None;
    QString folder;
    for (int i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (!word.startsWith(QLatin1String("--"))) {
            names << word;
            continue;
        }
        const int equals = word.indexOf(QLatin1Char('='));
        const QString option = word.left(equals);
        QString value;
        if (equals >= 0)
            value = word.mid(equals + 1);
        else if (i + 1 < words.size())
            value = words.at(++i);
        if (option == QLatin1String("--answer")) {
            if (!QuestionAnswerer::parseAnswer(value, answer))
                return tr("error: --answer takes yes, no or all, not %1").arg(quoted(value));
        } else if (option == QLatin1String("--folder")) {
            if (!QFileInfo(value).isDir())
                return tr("error: --folder %1 is no folder").arg(quoted(value));
            folder = QFileInfo(value).absoluteFilePath();
        } else {
            return tr("error: unknown option %1; options: --answer yes|no|all, --folder DIR").arg(quoted(option));
        }
    }
    if (names.size() < 2)
        return usage;

    // The job's name is the shortest run of leading words that names a job
    // and leaves the name of one of its actions.
    KiteProject* job = nullptr;
    QAction* action = nullptr;
    QString actionName;
    for (int split = 1; split < names.size() && !action; ++split) {
        KiteProject* candidate = findJob(names.mid(0, split).join(QLatin1Char(' ')));
        if (!candidate)
            continue;
        if (!job)
            job = candidate;
        actionName = names.mid(split).join(QLatin1Char(' '));
        if (QAction* found = findAction(candidate, actionName)) {
            job = candidate;
            action = found;
        }
    }
    if (!job)
        return noSuchJob(names.join(QLatin1Char(' ')));
    if (!action) {
        QStringList known;
        for (const Named& named : s_actions)
            known << QString::fromLatin1(named.name);
        return tr("error: job %1 has no action %2; actions: %3")
            .arg(quoted(job->name), quoted(actionName), known.join(QStringLiteral(", ")));
    }

    const QString name = ownName(job, action);
    if (!action->isVisible() || !action->isEnabled()) {
        return tr("error: %1 is not offered for job %2 now; offered: %3")
            .arg(quoted(name), quoted(job->name), listed(offeredActions(job, false)));
    }

    qCDebug(lcCommands) << "action" << name << "of" << job->name;
    const QPointer<KiteProject> target(job);
    const QString jobName = job->name;
    // The answer also serves the overwrite questions the action leads to.
    m_answerer->setStandingAnswer(job, answer);
    const QPointer<QAction> guarded(action);
    const QuestionAnswerer::Outcome outcome = m_answerer->run(
        [guarded] {
            if (guarded)
                guarded->trigger();
        },
        answer, folder);
    if (target && !outcome.question.isEmpty())
        m_answerer->setStandingAnswer(target, QuestionAnswerer::Answer::None);

    if (!outcome.refusal.isEmpty()) {
        QString line = tr("error: %1 of job %2 refused: %3").arg(quoted(name), quoted(jobName), outcome.refusal);
        if (!outcome.question.isEmpty())
            line += tr("; it asked %1 and was answered with what changes nothing").arg(quoted(outcome.question));
        return line;
    }
    QString line = tr("ok %1 of job %2").arg(quoted(name), quoted(jobName));
    if (!outcome.question.isEmpty())
        line += tr(", asked %1, answered %2").arg(quoted(outcome.question), outcome.answered);
    for (const QString& window : outcome.windows)
        line += tr(", opened %1").arg(quoted(window));
    if (target)
        line += QStringLiteral(": ") + status(target);
    return line;
}

QString JobCommands::clickJob(const QStringList& words)
{
    if (words.isEmpty())
        return tr("error: usage: click <job>");
    const QString name = words.join(QLatin1Char(' '));
    KiteProject* job = findJob(name);
    if (!job)
        return noSuchJob(name);
    const QPointer<KiteProject> target(job);
    const QuestionAnswerer::Outcome outcome = m_answerer->run(
        [target] {
            if (target && target->jobAction)
                target->jobAction->trigger();
        },
        QuestionAnswerer::Answer::None, QString());
    if (!outcome.refusal.isEmpty())
        return tr("error: the click on job %1 asked %2: %3").arg(quoted(name), quoted(outcome.question), outcome.refusal);
    QString line = tr("ok clicked job %1").arg(quoted(name));
    for (const QString& window : outcome.windows)
        line += tr(", opened %1").arg(quoted(window));
    return target ? line + QStringLiteral(": ") + status(target) : line;
}

QString JobCommands::clickNotification(const QStringList& words)
{
    if (words.size() < 2)
        return tr("error: usage: notification <job> <type>");
    const QString name = words.mid(0, words.size() - 1).join(QLatin1Char(' '));
    KiteProject* job = findJob(name);
    if (!job)
        return noSuchJob(name);
    const QStringList received = m_notificationTypes.value(job);
    QString type;
    for (const QString& candidate : received) {
        if (candidate.compare(words.last(), Qt::CaseInsensitive) == 0)
            type = candidate;
    }
    if (type.isEmpty()) {
        return tr("error: job %1 had no %2 notification; it had: %3")
            .arg(quoted(job->name), quoted(words.last()), listed(received));
    }
    const QPointer<KiteProject> target(job);
    const QuestionAnswerer::Outcome outcome = m_answerer->run(
        [target, type] {
            if (target)
                target->messageClickedSlot(type);
        },
        QuestionAnswerer::Answer::None, QString());
    if (!outcome.refusal.isEmpty()) {
        return tr("error: the click on the %1 notification of job %2 asked %3: %4")
            .arg(type, quoted(name), quoted(outcome.question), outcome.refusal);
    }
    QString line = tr("ok clicked the %1 notification of job %2").arg(type, quoted(name));
    for (const QString& window : outcome.windows)
        line += tr(", opened %1").arg(quoted(window));
    return line;
}

QString JobCommands::answerQuestion(const QStringList& words)
{
    QuestionAnswerer::Answer answer = QuestionAnswerer::Answer::None;
    if (words.size() < 2 || !QuestionAnswerer::parseAnswer(words.last(), answer))
        return tr("error: usage: answer <job> yes|no|all");
    const QString name = words.mid(0, words.size() - 1).join(QLatin1Char(' '));
    KiteProject* job = findJob(name);
    if (!job)
        return noSuchJob(name);
    QString question;
    if (!m_answerer->answerOpenQuestion(job, answer, &question))
        return tr("error: job %1 asks no question now").arg(quoted(job->name));
    return tr("ok answered %1 of job %2 with %3").arg(quoted(question), quoted(job->name),
                                                       QuestionAnswerer::answerText(answer));
}
