#pragma once

#include "kiteshared_export.h"

#include <QString>
#include <QStringList>

// The desktop-shell side of the job shortcuts. On Windows a shortcut is a shell
// link (.lnk) that the console script host rewrites with its icon; elsewhere it
// is a symbolic link, which carries no icon, and no script runs.
class KITESHARED_EXPORT PlatformShell
{
public:
    enum class ShortcutState {
        Missing,   // nothing at the path
        Current,   // a link to the target (on Windows: with the icon)
        Outdated,  // a link, but to another target or with another icon
        Blocked,   // something that is not a link: left alone
    };

    PlatformShell() = delete;

    static ShortcutState shortcutState(const QString& linkPath, const QString& targetPath,
                                       const QString& iconPath);
    // Removes a link (never what it points at).
    static bool removeShortcut(const QString& linkPath);
    // Creates the link file pointing at targetPath: a shell link on Windows, a
    // symbolic link elsewhere.
    static bool makeShortcut(const QString& linkPath, const QString& targetPath);

    // Whether a script rewrites each new shortcut: on Windows, or when a test
    // set a script host.
    static bool hasShortcutScript();
    // "cscript.exe", or the host set by setShortcutScriptHost.
    static QString shortcutScriptHost();
    // "createKiteLink.vbs", "0", link, target and icon, the three paths with
    // every "/" replaced by "\". The script host finds the script in the
    // current directory.
    static QStringList shortcutScriptArguments(const QString& linkPath, const QString& targetPath,
                                               const QString& iconPath);
    // For tests on systems without the Windows script host: runs program in
    // its place (an empty program restores the platform's behaviour).
    static void setShortcutScriptHost(const QString& program);

    // The icon file a shell link file (.lnk) names, read from the file itself;
    // empty when the file is not a shell link or names no icon. Works on any
    // system; used on Windows to tell whether a shortcut carries its icon.
    static QString shortcutIconLocation(const QString& lnkPath);
    static QString shortcutIconLocationFromData(const QByteArray& data);
};
