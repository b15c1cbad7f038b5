#include "jobmenuview.h"

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QElapsedTimer>
#include <QImage>
#include <QLoggingCategory>
#include <QPainter>
#include <QPixmap>
#include <QTextStream>

#include <utility>

Q_LOGGING_CATEGORY(lcJobMenu, "kite.host.menu")

JobMenuView::JobMenuView(KiteSettings* settings, QTextStream& out, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_out(out)
{
    m_menu.setTitle(tr("Render jobs"));
    m_updateTimer.setSingleShot(true);
    m_updateTimer.setInterval(0);
    connect(&m_updateTimer, &QTimer::timeout, this, [this] { applyChanges(false); });
    connect(&m_menu, &QMenu::aboutToShow, this, &JobMenuView::prepareSubMenus);
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
    // Each entry added costs a walk over the menu's entries, so tens of
    // thousands of new jobs join over several turns of the event loop.
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
        if (entry.inMenu && entry.job->isDeletedLocal) {
            m_menu.removeAction(action);
            entry.inMenu = false;
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
    entry.inMenu = true;
    entry.pending = true;
    m_changed.append(action); // its first status line is printed in this update
    m_menu.addAction(action);
    connect(action, &QAction::changed, this, [this, action] { entryChanged(action); });
    connect(action, &QObject::destroyed, this, [this, action] { m_entries.remove(action); });
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

void JobMenuView::prepareSubMenus()
{
    updateNow();
    const QList<QAction*> actions = m_menu.actions();
    for (QAction* action : actions) {
        const auto it = m_entries.constFind(action);
        if (it != m_entries.constEnd())
            it->job->subMenu();
    }
}

bool JobMenuView::saveSnapshot(const QString& fileName)
{
    // The sub-menus first: an entry shows its arrow once it has one.
    prepareSubMenus();
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
    return image.save(fileName, "PNG");
}
