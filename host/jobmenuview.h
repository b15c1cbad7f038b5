#pragma once

#include <QHash>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>

class KiteProject;
class KiteSettings;
class QAction;
class QTextStream;

// The host's tray menu of render jobs: rebuilt from every job's entry when the
// plug-in says the job list changed, with a line printed whenever a job's
// status line changes. Can draw itself, with each job's sub-menu opened, into
// a picture.
class JobMenuView : public QObject
{
    Q_OBJECT
public:
    JobMenuView(KiteSettings* settings, QTextStream& out, QObject* parent = nullptr);

    QMenu* menu() { return &m_menu; }

    // Draws the menu and every job's sub-menu side by side; false when the
    // file cannot be written.
    bool saveSnapshot(const QString& fileName);

public slots:
    void rebuild();

private:
    void watch(KiteProject* job);
    void printStatus(QAction* action);

    KiteSettings* m_settings;
    QTextStream& m_out;
    QMenu m_menu;
    QHash<QAction*, QString> m_lastStatus;
};
