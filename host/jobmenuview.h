#pragma once

#include <QHash>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

class KiteProject;
class KiteSettings;
class QAction;
class QTextStream;

// The host's tray menu of render jobs. It lists every job's entry (the job's
// jobAction) in job-list order, but holds them only while it is open: an
// entry sitting in a menu costs the menu's own bookkeeping and two signal
// connections, which at tens of thousands of jobs is more than the job record
// itself. Meanwhile hidden widgets hold the entries, so that their changes
// arrive as widget events without a connection per job. Jobs new in the job
// list are watched in list order, a job whose local files were deleted
// leaves the list, and "job: <status line>" is printed for each job whose
// status line changed since it was last printed. However many change
// signals arrive, this is brought up to date once per turn of the event
// loop. Each job's sub-menu is asked for only when the menu is about to be
// shown or drawn. Can draw itself, with each job's sub-menu opened, into a
// picture.
class JobMenuView : public QObject
{
    Q_OBJECT
public:
    JobMenuView(KiteSettings* settings, QTextStream& out, QObject* parent = nullptr);
    ~JobMenuView() override;

    QMenu* menu() { return &m_menu; }

    // How often the list has been brought up to date so far.
    int updateCount() const { return m_updateCount; }

    // Draws the menu and every job's sub-menu side by side; false when the
    // file cannot be written.
    bool saveSnapshot(const QString& fileName);

public slots:
    // The job list changed: the menu is brought up to date on the next turn
    // of the event loop.
    void rebuild();

signals:
    // The list was brought up to date (with every job of the job list).
    void updated();

private:
    class EntryWatcher;

    struct Entry
    {
        KiteProject* job = nullptr;
        QString printed;      // the status line printed last
        bool pending = false; // waits in m_changed
        bool listed = false;  // shown when the menu opens
    };

    void scheduleUpdate();
    // Pending changes now, instead of on the next turn of the event loop.
    void updateNow();
    // Brings the list up to date; unless `whole`, new jobs are added for
    // sliceMs and the rest on later turns.
    void applyChanges(bool whole);
    void watch(KiteProject* job);
    void entryChanged(QAction* action);
    void entryRemoved(QAction* action);
    // The menu is about to open: it takes the listed entries, and every
    // listed job makes its sub-menu.
    void fillMenu();
    // The menu closed: it lets go of the entries again.
    void emptyMenu();

    static constexpr int sliceMs = 8;
    static constexpr int entriesPerWatcher = 512;

    KiteSettings* m_settings;
    QTextStream& m_out;
    QMenu m_menu;
    std::vector<std::unique_ptr<QWidget>> m_watchers;
    QTimer m_updateTimer;
    QHash<QAction*, Entry> m_entries; // by the job's entry action
    QVector<QAction*> m_order;        // the watched entries, in job-list order
    QVector<QAction*> m_changed;      // entries changed since the last update, in order
    int m_jobsSeen = 0;               // jobs of the job list already watched
    int m_updateCount = 0;
    bool m_filled = false;            // the menu holds the listed entries
};
