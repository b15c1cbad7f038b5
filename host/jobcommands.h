#pragma once

#include "questionanswerer.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class KiteProject;
class KiteSettings;
class QAction;

// The command channel's commands about jobs: the list of jobs with their
// sub-menu actions, an action of a job's sub-menu, a click on a job's entry
// and on a job's notification, and the answer to a job's open question. Each
// returns the answer line ("ok ..." or "error: ...").
//
// Actions are named by their own texts ("Pause upload", "Delete Job...",
// "High download priority", ...), whatever the menu shows in their place
// (the job's name, with the new tray menu), compared without regard to case,
// to runs of blanks and to a trailing "...". The entry of the menu's error
// section goes by the text it shows.
class JobCommands : public QObject
{
    Q_OBJECT
public:
    JobCommands(KiteSettings* settings, QuestionAnswerer* answerer, QObject* parent = nullptr);

    QString listJobs();
    // `words`: the job's name and the action's, in this order (each possibly
    // several words), and the options --answer yes|no|all and --folder DIR.
    QString runAction(const QStringList& words);
    QString clickJob(const QStringList& words);
    QString clickNotification(const QStringList& words);
    QString answerQuestion(const QStringList& words);

    // Jobs the menu shows (their local files not deleted), in list order.
    QList<KiteProject*> visibleJobs() const;
    KiteProject* findJob(const QString& name) const;
    // `text` in double quotes, with quotes and backslashes escaped.
    static QString quoted(const QString& text);

private:
    struct Named
    {
        const char* name;
        QAction* KiteProject::*action;
    };
    static const Named s_actions[];

    void noteNotification(KiteProject* job, const QString& type);
    // The name an action of the job's sub-menu goes by.
    static QString ownName(KiteProject* job, QAction* action);
    static QAction* findAction(KiteProject* job, const QString& name);
    static bool sameName(const QString& a, const QString& b);
    // The names of the actions the job offers now; checked ones marked.
    static QStringList offeredActions(KiteProject* job, bool markChecked);
    QString jobNames() const;
    QString noSuchJob(const QString& name) const;
    static QString status(KiteProject* job);

    KiteSettings* m_settings;
    QuestionAnswerer* m_answerer;
    QHash<KiteProject*, QStringList> m_notificationTypes; // in the order received
};
