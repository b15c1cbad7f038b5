#include "jobmenuview.h"

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTextStream>

JobMenuView::JobMenuView(KiteSettings* settings, QTextStream& out, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_out(out)
{
    m_menu.setTitle(tr("Render jobs"));
}

void JobMenuView::rebuild()
{
    m_menu.clear();
    for (KiteProject* job : qAsConst(m_settings->jobList)) {
        if (job->isDeletedLocal || !job->jobAction)
            continue;
        m_menu.addAction(job->jobAction);
        watch(job);
    }
}

void JobMenuView::watch(KiteProject* job)
{
    QAction* action = job->jobAction;
    if (m_lastStatus.contains(action))
        return;
    m_lastStatus.insert(action, QString());
    connect(action, &QAction::changed, this, [this, action] { printStatus(action); });
    connect(action, &QObject::destroyed, this, [this, action] { m_lastStatus.remove(action); });
    printStatus(action);
}

void JobMenuView::printStatus(QAction* action)
{
    const QString text = action->text();
    auto it = m_lastStatus.find(action);
    if (it == m_lastStatus.end() || it.value() == text)
        return;
    it.value() = text;
    m_out << "job: " << text << '\n';
    m_out.flush();
}

bool JobMenuView::saveSnapshot(const QString& fileName)
{
    rebuild();
    auto render = [](QMenu* menu) {
        menu->ensurePolished();
        menu->resize(menu->sizeHint());
        return menu->grab();
    };
    const QPixmap main = render(&m_menu);
    QList<QPixmap> subMenus;
    for (QAction* action : m_menu.actions()) {
        if (action->menu())
            subMenus << render(action->menu());
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
