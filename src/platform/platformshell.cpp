#include "platform/platformshell.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QString& scriptHostOverride()
{
    static QString program;
    return program;
}

// Paths as this system compares them: absolute, cleaned, "/" separators, and
// on Windows without regard to case.
bool samePath(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() && b.isEmpty();
    const auto normal = [](const QString& path) {
        return QDir::cleanPath(QDir::fromNativeSeparators(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath()));
    };
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return QString::compare(normal(a), normal(b), cs) == 0;
}

// Shell link files: a 76-byte header, then optional blocks chosen by the link
// flags, then counted strings (name, relative path, working directory,
// arguments, icon location) in that order.
constexpr int kLinkHeaderSize = 0x4C;
constexpr int kLinkFlagsOffset = 0x14;
constexpr quint32 kHasLinkTargetIdList = 0x1;
constexpr quint32 kHasLinkInfo = 0x2;
constexpr quint32 kHasName = 0x4;
constexpr quint32 kHasRelativePath = 0x8;
constexpr quint32 kHasWorkingDir = 0x10;
constexpr quint32 kHasArguments = 0x20;
constexpr quint32 kHasIconLocation = 0x40;
constexpr quint32 kIsUnicode = 0x80;
// Class id 00021401-0000-0000-C000-000000000046 as stored.
constexpr unsigned char kLinkClassId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

class LittleEndianReader
{
public:
    explicit LittleEndianReader(const QByteArray& data)
        : m_data(data)
    {
    }
    bool has(qint64 pos, qint64 bytes) const { return pos >= 0 && bytes >= 0 && pos + bytes <= m_data.size(); }
    quint32 byteAt(qint64 pos) const { return static_cast<unsigned char>(m_data.at(static_cast<int>(pos))); }
    quint32 u16(qint64 pos) const { return byteAt(pos) | (byteAt(pos + 1) << 8); }
    quint32 u32(qint64 pos) const { return u16(pos) | (u16(pos + 2) << 16); }

private:
    const QByteArray& m_data;
};

bool hasShellLinkHeader(const QByteArray& data)
{
    const LittleEndianReader in(data);
    return in.has(0, kLinkHeaderSize) && in.u32(0) == kLinkHeaderSize
        && std::memcmp(data.constData() + 4, kLinkClassId, sizeof kLinkClassId) == 0;
}

// A link this system follows. Qt takes every file named "*.lnk" on Windows
// for a shortcut; only a file that is a shell link is one, anything else of
// that name is the user's and stays.
bool isShortcut(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return false;
#ifdef Q_OS_WIN
    if (info.suffix().compare(QLatin1String("lnk"), Qt::CaseInsensitive) == 0) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && hasShellLinkHeader(file.read(kLinkHeaderSize));
    }
#endif
    return true;
}

// Whether anything is at the path itself, a link not followed.
bool occupied(const QString& path)
{
#ifdef Q_OS_WIN
    // Qt follows every "*.lnk" to what it names; the file system tells.
    return GetFileAttributesW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()))
        != INVALID_FILE_ATTRIBUTES;
#else
    return QFileInfo(path).exists();
#endif
}

} // namespace

PlatformShell::ShortcutState PlatformShell::shortcutState(const QString& linkPath, const QString& targetPath,
                                                          const QString& iconPath)
{
    const QFileInfo link(linkPath);
    if (!isShortcut(linkPath))
        return occupied(linkPath) ? ShortcutState::Blocked : ShortcutState::Missing;
    if (!samePath(link.symLinkTarget(), targetPath))
        return ShortcutState::Outdated;
#ifdef Q_OS_WIN
    // The script writes the icon; a shortcut without it is made again.
    if (!iconPath.isEmpty() && !samePath(shortcutIconLocation(linkPath), iconPath))
        return ShortcutState::Outdated;
#else
    Q_UNUSED(iconPath)
#endif
    return ShortcutState::Current;
}

bool PlatformShell::removeShortcut(const QString& linkPath)
{
    if (!isShortcut(linkPath))
        return false;
    return QFile::remove(linkPath);
}

bool PlatformShell::makeShortcut(const QString& linkPath, const QString& targetPath)
{
    // A relative target would be taken relative to the link's folder.
    const QString target = QDir::cleanPath(QFileInfo(targetPath).absoluteFilePath());
    return QFile::link(target, linkPath);
}

bool PlatformShell::hasShortcutScript()
{
#ifdef Q_OS_WIN
    return true;
#else
    return !scriptHostOverride().isEmpty();
#endif
}

QString PlatformShell::shortcutScriptHost()
{
    if (!scriptHostOverride().isEmpty())
        return scriptHostOverride();
    return QStringLiteral("cscript.exe");
}

QStringList PlatformShell::shortcutScriptArguments(const QString& linkPath, const QString& targetPath,
                                                   const QString& iconPath)
{
    const auto backslashed = [](QString path) { return path.replace(QLatin1Char('/'), QLatin1Char('\\')); };
    return {QStringLiteral("createKiteLink.vbs"), QStringLiteral("0"), backslashed(linkPath),
            backslashed(targetPath), backslashed(iconPath)};
}

void PlatformShell::setShortcutScriptHost(const QString& program)
{
    scriptHostOverride() = program;
}

QString PlatformShell::shortcutIconLocation(const QString& lnkPath)
{
    QFile file(lnkPath);
    // Shell links are small; a large file is something else.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return {};
    return shortcutIconLocationFromData(file.readAll());
}

QString PlatformShell::shortcutIconLocationFromData(const QByteArray& data)
{
    if (!hasShellLinkHeader(data))
        return {};
    const LittleEndianReader in(data);
    const quint32 flags = in.u32(kLinkFlagsOffset);
    qint64 pos = kLinkHeaderSize;
    if (flags & kHasLinkTargetIdList) {
        if (!in.has(pos, 2))
            return {};
        pos += 2 + in.u16(pos);
    }
    if (flags & kHasLinkInfo) {
        // The size counts its own four bytes.
        if (!in.has(pos, 4) || in.u32(pos) < 4)
            return {};
        pos += in.u32(pos);
    }
    const bool unicode = flags & kIsUnicode;
    for (const quint32 stringFlag : {kHasName, kHasRelativePath, kHasWorkingDir, kHasArguments, kHasIconLocation}) {
        if (!(flags & stringFlag))
            continue;
        if (!in.has(pos, 2))
            return {};
        const qint64 count = in.u16(pos);
        pos += 2;
        const qint64 bytes = unicode ? 2 * count : count;
        if (!in.has(pos, bytes))
            return {};
        if (stringFlag == kHasIconLocation) {
            QString text;
            if (!unicode) {
                text = QString::fromLocal8Bit(data.constData() + pos, static_cast<int>(count));
            } else {
                text.reserve(static_cast<int>(count));
                for (qint64 i = 0; i < count; ++i)
                    text.append(QChar(static_cast<ushort>(in.u16(pos + 2 * i))));
            }
            // Some writers count the terminating zero too.
            while (text.endsWith(QChar(0)))
                text.chop(1);
            return text;
        }
        pos += bytes;
    }
    return {};
}
