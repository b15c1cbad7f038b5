#include "jobmenuview.h"

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QActionEvent>
#include <QElapsedTimer>
#include <QImage>
#include <QLoggingCategory>
#include <QPainter>
#include <QPixmap>
#include <QTextStream>

#include <utility>

Q_LOGGING_CATEGORY(lcJobMenu, "kite.host.menu")

// Holds the job entries while the menu does not and hands their change and
// removal events to the view. Never shown.
class JobMenuView::EntryWatcher : public QWidget
{
public:
    explicit EntryWatcher(JobMenuView* view)
        : m_view(view)
    {
    }

protected:
    void actionEvent(QActionEvent* event) override
    {
        if (event->type() == QEvent::ActionChanged)
            m_view->entryChanged(event->action());
        else if (event->type() == QEvent::ActionRemoved)
            m_view->entryRemoved(event->action());
    }

private:
    JobMenuView* m_view;
};

JobMenuView::JobMenuView(KiteSettings* settings, QTextStream& out, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_out(out)
{
    m_menu.setTitle(tr("Render jobs"));
    m_updateTimer.setSingleShot(true);
    m_updateTimer.setInterval(0);
    connect(&m_updateTimer, &QTimer::timeout, this, [this] { applyChanges(false); });
    connect(&m_menu, &QMenu::aboutToShow, this, &JobMenuView::fillMenu);
    // After the menu has finished closing: an entry chosen in it is
    // triggered once the menu is hidden.
    connect(&m_menu, &QMenu::aboutToHide, this, [this] {
        QTimer::singleShot(0, this, [this] {
            if (!m_menu.isVisible())
                emptyMenu();
        });
    });
}

JobMenuView::~JobMenuView()
{
    // The entries belong to the jobs; they only leave the menu and the watcher.
    emptyMenu();
    m_watchers.clear();
}

void JobMenuView::rebuild()
{
    scheduleUpdate();
}

void JobMenuView::scheduleUpdate()
{
    if (!m_updateTimer.isActive())
        m_updateTimer.start();
}

void JobMenuView::updateNow()
{
    if (m_updateTimer.isActive() || m_jobsSeen < m_settings->jobList.size()) {
        m_updateTimer.stop();
        applyChanges(true);
    }
}

void JobMenuView::applyChanges(bool whole)
{
    QElapsedTimer clock;
    clock.start();
    ++m_updateCount;
    // The job list only grows: what is past the jobs seen so far is new.
    // Tens of thousands of new jobs join over several turns of the event
    // loop.
    const QList<KiteProject*>& jobs = m_settings->jobList;
    const int firstNew = m_jobsSeen;
    for (; m_jobsSeen < jobs.size() && (whole || clock.elapsed() < sliceMs); ++m_jobsSeen)
        watch(jobs.at(m_jobsSeen));

    int removed = 0;
    bool printed = false;
    const QVector<QAction*> changed = std::exchange(m_changed, {});
    for (QAction* action : changed) {
        const auto it = m_entries.find(action);
        if (it == m_entries.end())
            continue; // the job went away meanwhile
        Entry& entry = it.value();
        entry.pending = false;
        if (entry.listed && entry.job->isDeletedLocal) {
            entry.listed = false;
            if (m_filled)
                m_menu.removeAction(action);
            ++removed;
        }
        const QString text = action->text();
        if (text != entry.printed) {
            entry.printed = text;
            m_out << "job: " << text << '\n';
            printed = true;
        }
    }
    if (printed)
        m_out.flush();
    qCDebug(lcJobMenu) << "menu update" << m_updateCount << ":" << (m_jobsSeen - firstNew) << "new jobs,"
                       << changed.size() << "changed entries," << removed << "removed, in" << clock.elapsed() << "ms";
    if (m_jobsSeen < jobs.size()) {
        scheduleUpdate(); // the other new jobs on the next turn
        return;
    }
    emit updated();
}

void JobMenuView::watch(KiteProject* job)
{
    QAction* action = job->jobAction;
    // A job whose local files are gone before it was ever shown stays out.
    if (!action || job->isDeletedLocal || m_entries.contains(action))
        return;
    Entry& entry = m_entries[action];
    entry.job = job;
    entry.listed = true;
    entry.pending = true;
    m_changed.append(action); // its first status line is printed in this update
    m_order.append(action);
    // A widget walks its entries for each one it takes in: each watcher
    // holds a bounded share of them.
    if (m_watchers.empty() || m_watchers.back()->actions().size() >= entriesPerWatcher)
        m_watchers.push_back(std::make_unique<EntryWatcher>(this));
    m_watchers.back()->addAction(action);
    if (m_filled)
        m_menu.addAction(action);
}

void JobMenuView::entryChanged(QAction* action)
{
    const auto it = m_entries.find(action);
    if (it == m_entries.end() || it->pending)
        return;
    it->pending = true;
    m_changed.append(action);
    scheduleUpdate();
}

void JobMenuView::entryRemoved(QAction* action)
{
    // The job's entry is being destroyed.
    if (m_entries.remove(action) > 0)
        m_order.removeOne(action);
}

void JobMenuView::fillMenu()
{
    updateNow();
    if (!m_filled) {
        QList<QAction*> listed;
        listed.reserve(m_order.size());
        for (QAction* action : qAsConst(m_order)) {
            if (m_entries.value(action).listed)
                listed << action;
        }
        m_menu.addActions(listed);
        m_filled = true;
    }
    const QList<QAction*> actions = m_menu.actions();
    for (QAction* action : actions) {
        const auto it = m_entries.constFind(action);
        if (it != m_entries.constEnd())
            it->job->subMenu();
    }
}

void JobMenuView::emptyMenu()
{
    if (!m_filled)
        return;
    m_filled = false;
    const QList<QAction*> actions = m_menu.actions();
    for (QAction* action : actions)
        m_menu.removeAction(action);
}

bool JobMenuView::saveSnapshot(const QString& fileName)
{
    // The sub-menus first: an entry shows its arrow once it has one.
    const bool wasFilled = m_filled;
    fillMenu();
    auto render = [](QMenu* menu) {
        menu->ensurePolished();
        menu->resize(menu->sizeHint());
        return menu->grab();
    };
    const QPixmap main = render(&m_menu);
    QList<QPixmap> subMenus;
    const QList<QAction*> actions = m_menu.actions();
    for (QAction* action : actions) {
        const auto it = m_entries.constFind(action);
        if (it == m_entries.constEnd() || !action->isVisible())
            continue;
        if (QMenu* subMenu = it->job->subMenu())
            subMenus << render(subMenu);
    }

    // The main menu on the left; each job's sub-menu to its right, level with
    // the job's entry.
    int width = main.width() + 8;
    int height = main.height();
    int subWidth = 0;
    int y = 0;
    for (const QPixmap& sub : subMenus) {
        subWidth = qMax(subWidth, sub.width());
        y += sub.height() + 8;
    }
    width += subWidth;
    height = qMax(height, y);
    QImage image(qMax(width, 1), qMax(height, 1), QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.drawPixmap(0, 0, main);
    y = 0;
    for (const QPixmap& sub : subMenus) {
        painter.drawPixmap(main.width() + 8, y, sub);
        y += sub.height() + 8;
    }
    painter.end();
    if (!wasFilled)
        emptyMenu();
    return image.save(fileName, "PNG");
}
