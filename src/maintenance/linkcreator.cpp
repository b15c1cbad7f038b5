#include "maintenance/linkcreator.h"

#include "platform/platformshell.h"

#include <QLoggingCategory>
#include <QProcess>

namespace {
Q_LOGGING_CATEGORY(lcLinks, "kite.links")
}

LinkCreator::LinkCreator(QObject* parent)
    : QObject(parent)
{
}

void LinkCreator::createLink(QString linkPath, QString targetPath, QString iconPath)
{
    switch (PlatformShell::shortcutState(linkPath, targetPath, iconPath)) {
    case PlatformShell::ShortcutState::Current:
        qCDebug(lcLinks).noquote() << "shortcut in place:" << linkPath << "->" << targetPath;
        deleteLater();
        return;
    case PlatformShell::ShortcutState::Blocked:
        qCWarning(lcLinks).noquote() << "not a shortcut, left alone:" << linkPath;
        deleteLater();
        return;
    case PlatformShell::ShortcutState::Outdated:
        qCDebug(lcLinks).noquote() << "replacing shortcut:" << linkPath;
        PlatformShell::removeShortcut(linkPath);
        break;
    case PlatformShell::ShortcutState::Missing:
        break;
    }

    // The script rewrites the link anyway; a failure here is only logged.
    if (!PlatformShell::makeShortcut(linkPath, targetPath))
        qCDebug(lcLinks).noquote() << "could not create link" << linkPath << "->" << targetPath;
    else
        qCDebug(lcLinks).noquote() << "link created:" << linkPath << "->" << targetPath;

    if (!PlatformShell::hasShortcutScript()) {
        deleteLater();
        return;
    }

    auto* process = new QProcess(this);
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &LinkCreator::deleteAfterFinish);
    // Without a script host no finished() arrives.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        qCWarning(lcLinks).noquote() << "script host could not be started:" << PlatformShell::shortcutScriptHost();
        deleteLater();
    });
    const QStringList arguments = PlatformShell::shortcutScriptArguments(linkPath, targetPath, iconPath);
    qCDebug(lcLinks).noquote() << "running" << PlatformShell::shortcutScriptHost() << arguments.join(QLatin1Char(' '));
    process->start(PlatformShell::shortcutScriptHost(), arguments, QIODevice::ReadWrite);
}

void LinkCreator::deleteAfterFinish(int status)
{
    Q_UNUSED(status)
    deleteLater();
}
