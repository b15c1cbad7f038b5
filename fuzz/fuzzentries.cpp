#include "fuzzentries.h"

#include "fuzzsupport.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>

// The parts every target shares: the process set-up, the catchers for desktop
// links and modal dialogs, and the table of entries.

namespace {

// Takes the links the client hands to the desktop (portal links, output
// folders) so that no browser or file manager is started.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    int caught = 0;

public slots:
    void openUrl(const QUrl& url)
    {
        Q_UNUSED(url)
        ++caught;
    }
};

// Rejects a modal dialog as soon as it runs its own event loop (the folder
// chooser, the delete question), as a user's Cancel would.
class ModalRejecter : public QObject
{
public:
    ModalRejecter()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ++rejected;
                dialog->reject();
            }
        });
        m_timer.start(0);
    }
    int rejected = 0;

private:
    QTimer m_timer;
};

struct Process
{
    QTemporaryDir home;
    UrlCatcher urls;
    std::unique_ptr<ModalRejecter> modals;
};

Process* g_process = nullptr;

} // namespace

namespace FuzzSupport {

void fail(const char* target, const QString& what)
{
    std::fprintf(stderr, "%s: invariant broken: %s\n", target, qPrintable(what));
    std::fflush(stderr);
    std::abort();
}

void settle()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void closeDialogs()
{
    // Non-modal dialogs (error dialogs, the folder dialog, message boxes) are
    // answered with Cancel; they delete themselves or stay with their owner.
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget* widget : widgets) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog && dialog->isVisible())
            dialog->reject();
    }
    settle();
}

void deleteDialogs()
{
    closeDialogs();
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget* widget : widgets) {
        if (qobject_cast<QDialog*>(widget))
            widget->deleteLater();
    }
    settle();
}

} // namespace FuzzSupport

namespace FuzzEntries {

void prepareProcess()
{
    if (g_process)
        return;
    g_process = new Process;
    if (!g_process->home.isValid())
        FuzzSupport::fail("fuzz", QStringLiteral("no temporary folder"));

    // Default folders and desktop shortcuts land in the temporary home.
    const QByteArray home = QFile::encodeName(g_process->home.path());
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_DATA_HOME", home + "/.local/share");
    qputenv("XDG_CACHE_HOME", home + "/.cache");
    QDir(g_process->home.path()).mkpath(QStringLiteral("Desktop"));

    for (const char* scheme : {"file", "http", "https"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &g_process->urls, "openUrl");
    g_process->modals = std::make_unique<ModalRejecter>();

    // The components' debug output would only slow the runs down.
    QLoggingCategory::setFilterRules(QStringLiteral("kite.*.debug=false"));
}

Entry entry(const QString& target)
{
    if (target == QLatin1String("fuzz_message"))
        return &runMessage;
    if (target == QLatin1String("fuzz_cfg"))
        return &runCfg;
    if (target == QLatin1String("fuzz_filelist"))
        return &runFileList;
    if (target == QLatin1String("fuzz_settings"))
        return &runSettings;
    return nullptr;
}

QStringList targets()
{
    return {QStringLiteral("fuzz_message"), QStringLiteral("fuzz_cfg"), QStringLiteral("fuzz_filelist"),
            QStringLiteral("fuzz_settings")};
}

void restart()
{
    FuzzSupport::restartMessage();
    FuzzSupport::restartFiles();
}

void shutdown()
{
    restart();
    FuzzSupport::deleteDialogs();
    if (g_process) {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
        delete g_process;
        g_process = nullptr;
    }
}

int urlsCaught()
{
    return g_process ? g_process->urls.caught : 0;
}

int modalDialogsRejected()
{
    return g_process && g_process->modals ? g_process->modals->rejected : 0;
}

} // namespace FuzzEntries

#include "fuzzentries.moc"
