#include "settings/settingsstore.h"

#include <QStringList>

SettingsStore::SettingsStore(const QString& fileName)
    : m_settings(fileName, QSettings::IniFormat)
{
}

QString SettingsStore::fileName() const
{
    return m_settings.fileName();
}

QString SettingsStore::storedKey(const QString& key) const
{
    if (m_settings.contains(key))
        return key;
    const QStringList keys = m_settings.allKeys();
    for (const QString& candidate : keys) {
        if (candidate.compare(key, Qt::CaseInsensitive) == 0)
            return candidate;
    }
    return QString();
}

QVariant SettingsStore::value(const QString& key) const
{
    const QString stored = storedKey(key);
    if (stored.isEmpty())
        return QVariant();
    return m_settings.value(stored);
}

bool SettingsStore::isPresent(const QString& key) const
{
    return !value(key).isNull();
}

void SettingsStore::setValue(const QString& key, const QVariant& value)
{
    const QStringList keys = m_settings.allKeys();
    for (const QString& candidate : keys) {
        if (candidate != key && candidate.compare(key, Qt::CaseInsensitive) == 0)
            m_settings.remove(candidate);
    }
    m_settings.setValue(key, value);
}

void SettingsStore::remove(const QString& key)
{
    const QStringList keys = m_settings.allKeys();
    for (const QString& candidate : keys) {
        if (candidate.compare(key, Qt::CaseInsensitive) == 0)
            m_settings.remove(candidate);
    }
}

void SettingsStore::sync()
{
    m_settings.sync();
}
