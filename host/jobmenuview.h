#pragma once

#include <QHash>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

class KiteProject;
class KiteSettings;
class QAction;
class QTextStream;

// The host's tray menu of render jobs. The menu keeps every job's entry
// (the job's jobAction) and is told what changed rather than rebuilt: jobs
// new in the job list are appended in list order, a job whose local files
// were deleted leaves it, and "job: <status line>" is printed for each job
// whose status line changed since it was last printed. However many change
// signals arrive, the menu is brought up to date once per turn of the event
// loop. Each job's sub-menu is asked for only when the menu is about to be
// shown or drawn. Can draw itself, with each job's sub-menu opened, into a
// picture.
class JobMenuView : public QObject
{
    Q_OBJECT
public:
    JobMenuView(KiteSettings* settings, QTextStream& out, QObject* parent = nullptr);

    QMenu* menu() { return &m_menu; }

    // How often the menu has been brought up to date so far.
    int updateCount() const { return m_updateCount; }

    // Draws the menu and every job's sub-menu side by side; false when the
    // file cannot be written.
    bool saveSnapshot(const QString& fileName);

public slots:
    // The job list changed: the menu is brought up to date on the next turn
    // of the event loop.
    void rebuild();

signals:
    // The menu was brought up to date (with every job of the list).
    void updated();

private:
    struct Entry
    {
        KiteProject* job = nullptr;
        QString printed;      // the status line printed last
        bool pending = false; // waits in m_changed
        bool inMenu = false;
    };

    void scheduleUpdate();
    // Pending changes now, instead of on the next turn of the event loop.
    void updateNow();
    // Brings the menu up to date; unless `whole`, new jobs are added for
    // sliceMs and the rest on later turns.
    void applyChanges(bool whole);
    void watch(KiteProject* job);
    void entryChanged(QAction* action);
    // Has every listed job make its sub-menu.
    void prepareSubMenus();

    static constexpr int sliceMs = 8;

    KiteSettings* m_settings;
    QTextStream& m_out;
    QMenu m_menu;
    QTimer m_updateTimer;
    QHash<QAction*, Entry> m_entries; // by the job's entry action
    QVector<QAction*> m_changed;      // entries changed since the last update, in order
    int m_jobsSeen = 0;               // jobs of the job list already watched
    int m_updateCount = 0;
};
