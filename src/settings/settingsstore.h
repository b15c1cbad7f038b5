#pragma once

#include "kiteshared_export.h"

#include <QSettings>
#include <QString>
#include <QVariant>

// The client's INI settings file with case-insensitive keys.
//
// Qt's INI backend matches keys case-sensitively on this platform, while the
// client's file has always been edited by hand and by tools that disagree on
// letter case ("Settings/LicensePort1" and "Settings/licensePort1" name the
// same entry). Every lookup here first tries the exact key and then any key
// that differs only in letter case; every write removes the other spellings so
// that the file holds one entry per key.
class KITESHARED_EXPORT SettingsStore
{
public:
    explicit SettingsStore(const QString& fileName);

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString fileName() const;

    // The stored value, or an invalid QVariant when no spelling of key exists.
    QVariant value(const QString& key) const;

    // True when some spelling of key holds a non-null value.
    bool isPresent(const QString& key) const;

    // Stores value under exactly this spelling and drops every other one.
    void setValue(const QString& key, const QVariant& value);

    // Removes every spelling of key.
    void remove(const QString& key);

    // Writes pending changes and picks up changes made by other writers.
    void sync();

    // The key as it is spelled in the file: key itself when it exists, else the
    // first stored key equal to it ignoring case, else an empty string.
    QString storedKey(const QString& key) const;

private:
    QSettings m_settings;
};
