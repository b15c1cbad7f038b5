#include "maintenance/linkcreator.h"
#include "platform/platformshell.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

void processDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

#ifdef Q_OS_UNIX
// The link's own inode: a link made again gets a new one.
quint64 linkInode(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return static_cast<quint64>(info.st_ino);
}
#endif

// A shell link file as the format lays it out: header, an item id list,
// and the counted strings the flags announce.
QByteArray shellLink(bool unicode, const QString& name, const QString& iconLocation, bool withLinkInfo)
{
    QByteArray data(0x4C, '\0');
    data[0] = 0x4C;
    const unsigned char classId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    for (int i = 0; i < 16; ++i)
        data[4 + i] = static_cast<char>(classId[i]);
    quint32 flags = 0x1 | 0x4; // item id list, name
    if (withLinkInfo)
        flags |= 0x2;
    if (!iconLocation.isEmpty())
        flags |= 0x40;
    if (unicode)
        flags |= 0x80;
    for (int i = 0; i < 4; ++i)
        data[0x14 + i] = static_cast<char>((flags >> (8 * i)) & 0xFF);

    const auto appendU16 = [&data](quint32 value) {
        data.append(static_cast<char>(value & 0xFF));
        data.append(static_cast<char>((value >> 8) & 0xFF));
    };
    const auto appendString = [&](const QString& text) {
        appendU16(static_cast<quint32>(text.size()));
        for (const QChar c : text) {
            if (unicode)
                appendU16(c.unicode());
            else
                data.append(c.toLatin1());
        }
    };
    appendU16(6); // item id list: one empty item and the terminator
    data.append(QByteArray("\x04\x00\xAA\xBB\x00\x00", 6));
    if (withLinkInfo) {
        const QByteArray info("\x0C\x00\x00\x00\x1C\x00\x00\x00\x00\x00\x00\x00", 12);
        data.append(info);
    }
    appendString(name);
    if (!iconLocation.isEmpty())
        appendString(iconLocation);
    data.append(QByteArray(4, '\0')); // terminal block
    return data;
}

} // namespace

class TestLinkCreator : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousCurrent;

    QString path(const QString& name) const { return QDir(m_dir->path()).filePath(name); }

    QString makeDir(const QString& name) const
    {
        const QString dir = path(name);
        return QDir().mkpath(dir) ? dir : QString();
    }

    // Runs /bin/sh in place of the script host; the script in the current
    // directory writes its arguments, one per line, to args_<pid>.txt.
    void useRecordingScriptHost()
    {
        QVERIFY(writeText(path(QStringLiteral("createKiteLink.vbs")),
                          "printf '%s\\n' \"$@\" > \"args_$$.txt\"\n"));
        QVERIFY(QDir::setCurrent(m_dir->path()));
        PlatformShell::setShortcutScriptHost(QStringLiteral("/bin/sh"));
    }

    QStringList recordedRuns() const
    {
        QStringList runs;
        const auto files = QDir(m_dir->path()).entryList({QStringLiteral("args_*.txt")}, QDir::Files, QDir::Name);
        for (const QString& file : files)
            runs << readText(path(file));
        return runs;
    }

private slots:
    void init()
    {
#ifdef Q_OS_WIN
        QSKIP("The shortcuts here are symbolic links; Windows makes shell links.");
#endif
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_previousCurrent = QDir::currentPath();
    }

    void cleanup()
    {
        PlatformShell::setShortcutScriptHost(QString());
        QDir::setCurrent(m_previousCurrent);
        processDeferredDeletes();
        m_dir.reset();
    }

    void symlinkMade()
    {
        const QString target = makeDir(QStringLiteral("Download/output/shot_010"));
        const QString link = path(QStringLiteral("Download/shot_010.lnk"));
        QPointer<LinkCreator> creator = new LinkCreator;
        QVERIFY(!PlatformShell::hasShortcutScript());

        creator->createLink(link, target, path(QStringLiteral("icons/orvelfoldericon_downloading.ico")));

        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        QVERIFY(QFileInfo(link).isDir());
        // No script on this system, and the object goes by itself.
        QVERIFY(creator);
        QVERIFY(creator->findChildren<QProcess*>().isEmpty());
        processDeferredDeletes();
        QVERIFY(creator.isNull());
    }

    void ensuredNotMadeAgain()
    {
        const QString target = makeDir(QStringLiteral("out"));
        const QString link = path(QStringLiteral("out.lnk"));
        QVERIFY(QFile::link(target, link));
        const quint64 inode = linkInode(link);
        QVERIFY(inode != 0);
        // Even with a script host at hand, nothing runs for a shortcut in place.
        useRecordingScriptHost();

        QPointer<LinkCreator> creator = new LinkCreator;
        creator->createLink(link, target, path(QStringLiteral("icon.ico")));

        QVERIFY(creator);
        QVERIFY(creator->findChildren<QProcess*>().isEmpty());
        QCOMPARE(linkInode(link), inode);
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        processDeferredDeletes();
        QVERIFY(creator.isNull());
        QVERIFY(recordedRuns().isEmpty());
    }

    void ensuredWithEquivalentTargetPath()
    {
        const QString target = makeDir(QStringLiteral("out"));
        const QString link = path(QStringLiteral("out.lnk"));
        QVERIFY(QFile::link(target, link));
        const quint64 inode = linkInode(link);

        auto* creator = new LinkCreator;
        creator->createLink(link, target + QStringLiteral("/"), QString());
        QCOMPARE(linkInode(link), inode);
        processDeferredDeletes();
    }

    void replacedWhenTargetDiffers_data()
    {
        QTest::addColumn<bool>("oldTargetExists");
        QTest::newRow("other folder") << true;
        QTest::newRow("dangling link") << false;
    }

    void replacedWhenTargetDiffers()
    {
        QFETCH(bool, oldTargetExists);
        const QString oldTarget = oldTargetExists ? makeDir(QStringLiteral("old")) : path(QStringLiteral("gone"));
        const QString newTarget = makeDir(QStringLiteral("new"));
        const QString link = path(QStringLiteral("job.lnk"));
        QVERIFY(QFile::link(oldTarget, link));

        QPointer<LinkCreator> creator = new LinkCreator;
        creator->createLink(link, newTarget, QString());

        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(link).symLinkTarget(), newTarget);
        // The folder the old link pointed at is untouched.
        QCOMPARE(QFileInfo::exists(oldTarget), oldTargetExists);
        processDeferredDeletes();
        QVERIFY(creator.isNull());
    }

    void somethingElseLeftAlone()
    {
        const QString target = makeDir(QStringLiteral("out"));
        const QString link = path(QStringLiteral("job.lnk"));
        QVERIFY(writeText(link, "user data"));

        QPointer<LinkCreator> creator = new LinkCreator;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^not a shortcut, left alone: ")));
        creator->createLink(link, target, QString());

        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(readText(link), QStringLiteral("user data"));
        processDeferredDeletes();
        QVERIFY(creator.isNull());
    }

    void relativeTargetResolved()
    {
        makeDir(QStringLiteral("out"));
        makeDir(QStringLiteral("links"));
        QVERIFY(QDir::setCurrent(m_dir->path()));
        auto* creator = new LinkCreator;
        creator->createLink(path(QStringLiteral("links/job.lnk")), QStringLiteral("out"), QString());
        QCOMPARE(QFileInfo(path(QStringLiteral("links/job.lnk"))).symLinkTarget(), path(QStringLiteral("out")));
        processDeferredDeletes();
    }

    void twoAtOnce()
    {
        const QString targetA = makeDir(QStringLiteral("output/a"));
        const QString targetB = makeDir(QStringLiteral("output/b"));
        QPointer<LinkCreator> first = new LinkCreator;
        QPointer<LinkCreator> second = new LinkCreator;
        QVERIFY(first.data() != second.data());

        first->createLink(path(QStringLiteral("a.lnk")), targetA, QString());
        second->createLink(path(QStringLiteral("b.lnk")), targetB, QString());

        QCOMPARE(QFileInfo(path(QStringLiteral("a.lnk"))).symLinkTarget(), targetA);
        QCOMPARE(QFileInfo(path(QStringLiteral("b.lnk"))).symLinkTarget(), targetB);
        processDeferredDeletes();
        QVERIFY(first.isNull());
        QVERIFY(second.isNull());
    }

    void scriptArguments_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("forward slashes")
            << "C:/Users/a/OrvelKite/Download/shot_010.lnk" << "C:/Users/a/OrvelKite/Download/output/shot_010"
            << "C:/Program Files/Kite/icons/orvelfoldericon_finished.ico"
            << QStringList{"createKiteLink.vbs", "0", "C:\\Users\\a\\OrvelKite\\Download\\shot_010.lnk",
                           "C:\\Users\\a\\OrvelKite\\Download\\output\\shot_010",
                           "C:\\Program Files\\Kite\\icons\\orvelfoldericon_finished.ico"};
        QTest::newRow("already backslashes") << "C:\\a.lnk" << "D:\\out" << "" << QStringList{"createKiteLink.vbs", "0", "C:\\a.lnk", "D:\\out", ""};
        QTest::newRow("mixed") << "C:/x\\y.lnk" << "//server/share/out" << "i.ico"
                               << QStringList{"createKiteLink.vbs", "0", "C:\\x\\y.lnk", "\\\\server\\share\\out", "i.ico"};
    }

    void scriptArguments()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(QString, icon);
        QFETCH(QStringList, expected);
        QCOMPARE(PlatformShell::shortcutScriptArguments(link, target, icon), expected);
        QCOMPARE(PlatformShell::shortcutScriptHost(), QStringLiteral("cscript.exe"));
    }

    void scriptRunsAndObjectGoes()
    {
        const QString target = makeDir(QStringLiteral("Download/output/shot_010"));
        const QString link = path(QStringLiteral("Download/shot_010.lnk"));
        const QString icon = path(QStringLiteral("icons/orvelfoldericon_finished.ico"));
        useRecordingScriptHost();
        QVERIFY(PlatformShell::hasShortcutScript());

        QPointer<LinkCreator> creator = new LinkCreator;
        QSignalSpy destroyed(creator.data(), &QObject::destroyed);
        creator->createLink(link, target, icon);

        // The direct link uses the paths unchanged; the script gets backslashes.
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        QCOMPARE(creator->findChildren<QProcess*>().size(), 1);
        QVERIFY(destroyed.wait(20000));
        QVERIFY(creator.isNull());
        const QString backslashed = QStringLiteral("0\n%1\n%2\n%3\n")
                                        .arg(QString(link).replace(QLatin1Char('/'), QLatin1Char('\\')),
                                             QString(target).replace(QLatin1Char('/'), QLatin1Char('\\')),
                                             QString(icon).replace(QLatin1Char('/'), QLatin1Char('\\')));
        QCOMPARE(recordedRuns(), QStringList{backslashed});
    }

    void twoScriptRuns()
    {
        const QString targetA = makeDir(QStringLiteral("output/a"));
        const QString targetB = makeDir(QStringLiteral("output/b"));
        useRecordingScriptHost();

        QPointer<LinkCreator> first = new LinkCreator;
        QPointer<LinkCreator> second = new LinkCreator;
        QSignalSpy firstGone(first.data(), &QObject::destroyed);
        QSignalSpy secondGone(second.data(), &QObject::destroyed);
        first->createLink(path(QStringLiteral("a.lnk")), targetA, QString());
        second->createLink(path(QStringLiteral("b.lnk")), targetB, QString());

        QVERIFY(firstGone.count() == 1 || firstGone.wait(20000));
        QVERIFY(secondGone.count() == 1 || secondGone.wait(20000));
        const QStringList runs = recordedRuns();
        QCOMPARE(runs.size(), 2);
        QVERIFY(runs.join(QString()).contains(QStringLiteral("a.lnk")));
        QVERIFY(runs.join(QString()).contains(QStringLiteral("b.lnk")));
    }

    void scriptHostMissing()
    {
        const QString target = makeDir(QStringLiteral("out"));
        const QString link = path(QStringLiteral("out.lnk"));
        PlatformShell::setShortcutScriptHost(path(QStringLiteral("no/such/cscript.exe")));

        QPointer<LinkCreator> creator = new LinkCreator;
        QSignalSpy destroyed(creator.data(), &QObject::destroyed);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^script host could not be started: ")));
        creator->createLink(link, target, QString());

        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        QVERIFY(destroyed.count() == 1 || destroyed.wait(20000));
        QVERIFY(creator.isNull());
    }

    void iconLocation_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");

        const QString icon = QStringLiteral("C:\\Program Files\\Kite\\icons\\orvelfoldericon_finished.ico");
        QTest::newRow("unicode") << shellLink(true, QStringLiteral("shot_010"), icon, false) << icon;
        QTest::newRow("unicode with link info") << shellLink(true, QStringLiteral("n"), icon, true) << icon;
        QTest::newRow("ansi") << shellLink(false, QStringLiteral("shot_010"), icon, true) << icon;
        QTest::newRow("no icon") << shellLink(true, QStringLiteral("shot_010"), QString(), false) << QString();
        QTest::newRow("truncated") << shellLink(true, QStringLiteral("shot_010"), icon, false).left(0x60) << QString();
        QByteArray wrongClass = shellLink(true, QStringLiteral("n"), icon, false);
        wrongClass[5] = 0x15;
        QTest::newRow("not a shell link") << wrongClass << QString();
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("text") << QByteArray("target=/home/a/out\n") << QString();
    }

    void iconLocation()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        QCOMPARE(PlatformShell::shortcutIconLocationFromData(data), expected);

        const QString file = path(QStringLiteral("job.lnk"));
        QVERIFY(writeText(file, data));
        QCOMPARE(PlatformShell::shortcutIconLocation(file), expected);
    }
};

QTEST_GUILESS_MAIN(TestLinkCreator)
#include "tst_linkcreator.moc"
