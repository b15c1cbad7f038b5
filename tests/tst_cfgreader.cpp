#include "jobs/cfgreader.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Reading job cfg files into the job record, the file section, the directory
// request, the live-upload list and the choice of the upload server. Every
// test works in its own temporary application and projects folder.
class TestCfgReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void headerKeys_data();
    void headerKeys();
    void statusKeys_data();
    void statusKeys();
    void downloadKeys_data();
    void downloadKeys();
    void autostartTogglesWithoutWriting_data();
    void autostartTogglesWithoutWriting();
    void fileSection_data();
    void fileSection();
    void createDirsEmittedOnce();
    void createDirsSuppressed_data();
    void createDirsSuppressed();
    void headerOnlyReturnsNoFiles();
    void missingCfg();
    void nameNotAFileName_data();
    void nameNotAFileName();
    void liveUploadConversion();
    void liveUploadWithoutListKeepsCfg();
    void serverNumberForUpload_data();
    void serverNumberForUpload();

private:
    QString userDir() const { return m_dir->path() + QStringLiteral("/tester"); }
    QString cfgPath(const QString& name) const { return userDir() + QLatin1Char('/') + name + QLatin1String(".cfg"); }
    void writeFile(const QString& path, const QByteArray& content);
    QByteArray readFile(const QString& path);
    std::unique_ptr<KiteProject> job(const QString& name = QStringLiteral("scene"));

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings;
    std::unique_ptr<CfgReader> m_reader;
};

// Joins lines with the cfg's "\r\n" line ends.
static QByteArray crlf(const QStringList& lines)
{
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

// One returned file as "path|pathLocal|size".
static QStringList describe(const QList<UploadFile>& files)
{
    QStringList out;
    for (const UploadFile& f : files)
        out << f.path + QLatin1Char('|') + f.pathLocal + QLatin1Char('|') + QString::number(f.size);
    return out;
}

void TestCfgReader::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kite.settings.debug=false"));
    qRegisterMetaType<QSet<QString>>("QSet<QString>");
    qRegisterMetaType<KiteProject*>("KiteProject*");
}

void TestCfgReader::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    {
        QSettings ini(m_dir->filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), m_dir->path());
        ini.setValue(QStringLiteral("UserData/username"), QStringLiteral("tester"));
    }
    QVERIFY(QDir().mkpath(userDir()));
    m_settings = std::make_unique<KiteSettings>();
    m_settings->setApplicationDirectory(m_dir->path());
    m_settings->load();
    QCOMPARE(m_settings->localProjectsFolder, m_dir->path());
    m_reader = std::make_unique<CfgReader>(m_settings.get());
}

void TestCfgReader::cleanup()
{
    m_reader.reset();
    m_settings.reset();
    m_dir.reset();
}

void TestCfgReader::writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray TestCfgReader::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::unique_ptr<KiteProject> TestCfgReader::job(const QString& name)
{
    return std::make_unique<KiteProject>(m_settings.get(), name, QString());
}

void TestCfgReader::headerKeys_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<bool>("headerOnly");
    // teamid, serverNumber, serverNumberUpload, renderPriority, restartDownloadCount
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<bool>("gpu");
    QTest::addColumn<QString>("downloadDir");

    const QList<int> defaults{0, 1, 1, 50, 0};
    QTest::newRow("empty") << QByteArray() << false << defaults << false << QString();
    QTest::newRow("last key wins")
        << crlf({"teamid=3", "downloadpath=D:/a", "prio=4", "teamid=7", "downloadpath=D:/b", "prio=2",
                 "restartDownloadCount=1", "restartDownloadCount=5"})
        << false << QList<int>{7, 1, 1, 51, 5} << false << "D:/b";
    QTest::newRow("not a number is 0") << crlf({"teamid=x7", "prio=high", "serverNumber=two"}) << false
                                       << QList<int>{0, 1, 1, 49, 0} << false << QString();
    QTest::newRow("serverNumberUpload 2") << crlf({"serverNumberUpload=2"}) << false << QList<int>{0, 1, 2, 50, 0}
                                          << false << QString();
    QTest::newRow("serverNumberUpload 3") << crlf({"serverNumberUpload=3"}) << false << QList<int>{0, 1, 1, 50, 0}
                                          << false << QString();
    QTest::newRow("serverNumber 2") << crlf({"serverNumber=2"}) << false << QList<int>{0, 2, 1, 50, 0} << false
                                    << QString();
    QTest::newRow("prio 1") << crlf({"prio=1"}) << false << QList<int>{0, 1, 1, 50, 0} << false << QString();
    QTest::newRow("prio 0") << crlf({"prio=0"}) << false << QList<int>{0, 1, 1, 49, 0} << false << QString();
    QTest::newRow("prio in file section ignored")
        << crlf({"prio=5", "[files]", "prio=9", "path0=a.zip"}) << false << QList<int>{0, 1, 1, 54, 0} << false
        << QString();
    QTest::newRow("prio in file section ignored, header only")
        << crlf({"prio=5", "[files]", "prio=9"}) << true << QList<int>{0, 1, 1, 54, 0} << false << QString();
    QTest::newRow("prio after the section ends") << crlf({"[files]", "[end]", "prio=3"}) << false
                                                 << QList<int>{0, 1, 1, 52, 0} << false << QString();
    QTest::newRow("keys after the file section count")
        << crlf({"[files]", "path0=a.zip", "pathlocal0=C:/a.zip", "pathsize0=1", "teamid=9"}) << false
        << QList<int>{9, 1, 1, 50, 0} << false << QString();
    QTest::newRow("prefix is case-sensitive at line start") << crlf({"TeamId=5", " teamid=6", "Prio=3"}) << false
                                                            << defaults << false << QString();
    QTest::newRow("lines ending in LF") << QByteArray("teamid=4\nprio=2\n\n") << false
                                        << QList<int>{4, 1, 1, 51, 0} << false << QString();
    QTest::newRow("V-Ray GPU") << crlf({"renderer=V-Ray GPU"}) << false << defaults << true << QString();
    QTest::newRow("vray") << crlf({"renderer=vray"}) << false << defaults << false << QString();
    QTest::newRow("last renderer wins") << crlf({"renderer=Redshift GPU", "renderer=Arnold"}) << false << defaults
                                        << false << QString();
    QTest::newRow("UTF-8 folder") << QByteArray("downloadpath=D:/R\xC3\xA4nder\r\n") << false << defaults << false
                                  << QString::fromUtf8("D:/R\xC3\xA4nder");
}

void TestCfgReader::headerKeys()
{
    QFETCH(QByteArray, cfg);
    QFETCH(bool, headerOnly);
    QFETCH(QList<int>, numbers);
    QFETCH(bool, gpu);
    QFETCH(QString, downloadDir);

    writeFile(cfgPath(QStringLiteral("scene")), cfg);
    auto j = job();
    m_reader->readJobConfig(j.get(), true, headerOnly);
    QCOMPARE((QList<int>{j->teamid, j->serverNumber, j->serverNumberUpload, j->renderPriority,
                         j->restartDownloadCount}),
             numbers);
    QCOMPARE(j->isGpuJob, gpu);
    QCOMPARE(j->localDownloadDir, downloadDir);
    QVERIFY(j->isLocal);
    QVERIFY(j->cfgRead);
}

void TestCfgReader::statusKeys_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<bool>("uploadRestartPending");
    // isUploaded, dirsCreated, renderComplete, linkCreated, downloadFinishedSent, hasJobLocalId
    QTest::addColumn<QList<bool>>("flags");
    QTest::addColumn<QString>("jobLocalId");

    QTest::newRow("none") << QByteArray() << false << QList<bool>{false, false, false, false, false, false}
                          << QString();
    QTest::newRow("appended status lines")
        << QByteArray("teamid=1\r\n\r\nuploadfinished=true\r\n\r\ndirscreated=true\r\n\r\nrendercomplete=true\r\n"
                      "\r\nlinkCreated=true\r\n\r\ndownloadFinishedSent=true\r\n\r\njobLocalId=1a2b-3c\r\n")
        << false << QList<bool>{true, true, true, true, true, true} << "1a2b-3c";
    QTest::newRow("uploadfinished after a restart") << crlf({"uploadfinished=true"}) << true
                                                    << QList<bool>{false, false, false, false, false, false}
                                                    << QString();
    QTest::newRow("autostart 2") << crlf({"autostart=2"}) << false
                                 << QList<bool>{true, false, false, false, false, false} << QString();
    QTest::newRow("autostart 2 after a restart") << crlf({"autostart=2"}) << true
                                                 << QList<bool>{false, false, false, false, false, false}
                                                 << QString();
}

void TestCfgReader::statusKeys()
{
    QFETCH(QByteArray, cfg);
    QFETCH(bool, uploadRestartPending);
    QFETCH(QList<bool>, flags);
    QFETCH(QString, jobLocalId);

    writeFile(cfgPath(QStringLiteral("scene")), cfg);
    auto j = job();
    j->uploadRestartPending = uploadRestartPending;
    m_reader->readJobConfig(j.get(), true, true);
    QCOMPARE((QList<bool>{j->isUploaded, j->dirsCreated, j->renderComplete, j->linkCreated, j->downloadFinishedSent,
                          j->hasJobLocalId}),
             flags);
    QCOMPARE(j->jobLocalId, jobLocalId);
    QVERIFY(!j->autostart);
}

void TestCfgReader::downloadKeys_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<bool>("downloading");
    QTest::addColumn<bool>("readBefore");
    QTest::addColumn<bool>("downloaded");
    QTest::addColumn<bool>("checkForFiles");
    QTest::addColumn<bool>("restarted");

    const QByteArray restart = crlf({"downloaded=true", "restartDownload=true"});
    QTest::newRow("downloaded") << crlf({"downloaded=true"}) << false << false << true << false << false;
    QTest::newRow("downloaded=false is not a key")
        << crlf({"downloaded=true", "downloaded=false"}) << false << false << true << false << false;
    QTest::newRow("restart after downloaded") << restart << false << false << false << true << true;
    QTest::newRow("restart, then finished")
        << crlf({"restartDownload=true", "restartDownload=false"}) << false << false << true << false << false;
    QTest::newRow("restart while downloading") << restart << true << false << false << true << false;
    QTest::newRow("restart already done in this run") << restart << false << true << false << true << false;
}

void TestCfgReader::downloadKeys()
{
    QFETCH(QByteArray, cfg);
    QFETCH(bool, downloading);
    QFETCH(bool, readBefore);
    QFETCH(bool, downloaded);
    QFETCH(bool, checkForFiles);
    QFETCH(bool, restarted);

    writeFile(cfgPath(QStringLiteral("scene")), cfg);
    auto j = job();
    j->isDownloading = downloading;
    j->cfgRead = readBefore;
    // A download restart clears the download errors and the overwrite answers.
    j->hasDownloadError = true;
    j->downloadJobErrorCount = 3;
    j->overwriteAll = true;
    m_reader->readJobConfig(j.get(), true, true);
    QCOMPARE(j->isDownloaded, downloaded);
    QCOMPARE(j->downloadedMark, downloaded);
    QCOMPARE(j->checkForFilesToDownload, checkForFiles);
    QCOMPARE(j->hasDownloadError, !restarted);
    QCOMPARE(j->downloadJobErrorCount, restarted ? 0 : 3);
    QCOMPARE(j->overwriteAll, !restarted);
}

void TestCfgReader::autostartTogglesWithoutWriting_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");

    QTest::newRow("1 then 0") << crlf({"autostart=1", "autostart=0"}) << false << false;
    QTest::newRow("0 then 1") << crlf({"autostart=0", "autostart=1"}) << false << true;
    QTest::newRow("0 while on") << crlf({"autostart=0"}) << true << false;
    QTest::newRow("1 while on") << crlf({"autostart=1"}) << true << true;
    QTest::newRow("2 while on") << crlf({"autostart=1", "autostart=2"}) << true << false;
}

void TestCfgReader::autostartTogglesWithoutWriting()
{
    QFETCH(QByteArray, cfg);
    QFETCH(bool, before);
    QFETCH(bool, after);

    const QString path = cfgPath(QStringLiteral("scene"));
    writeFile(path, cfg);
    auto j = job();
    j->subMenu();
    j->autostart = before;
    j->autostartAction->setChecked(before);
    m_reader->readJobConfig(j.get(), true, true);
    QCOMPARE(j->autostart, after);
    QCOMPARE(j->autostartAction->isChecked(), after);
    QCOMPARE(readFile(path), cfg);
}

void TestCfgReader::fileSection_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<QStringList>("files");

    const QStringList group0{"path0=scene.zip", "pathlocal0=C:/p/scene.zip", "pathsize0=100"};
    const QStringList group1{"path1=tex/a.png", "pathlocal1=C:/t/a.png", "pathsize1=23"};
    QTest::newRow("two groups") << crlf(QStringList{"teamid=1", "[files]", "paths=2"} + group0 + group1)
                                << QStringList{"scene.zip|C:/p/scene.zip|100", "tex/a.png|C:/t/a.png|23"};
    QTest::newRow("last group without pathsize")
        << crlf(QStringList{"[files]"} + group0 + QStringList{"path1=tex/a.png", "pathlocal1=C:/t/a.png"})
        << QStringList{"scene.zip|C:/p/scene.zip|100"};
    QTest::newRow("group without pathsize takes nothing from the next")
        << crlf(QStringList{"[files]", "path0=x.zip", "pathlocal0=C:/x.zip"} + group1)
        << QStringList{"tex/a.png|C:/t/a.png|23"};
    QTest::newRow("pathsize without its paths")
        << crlf(QStringList{"[files]"} + group0 + QStringList{"pathsize1=5"})
        << QStringList{"scene.zip|C:/p/scene.zip|100"};
    QTest::newRow("no section, no files") << crlf(group0) << QStringList();
    QTest::newRow("section ends at [") << crlf(QStringList{"[files]"} + group0 + QStringList{"[other]"} + group1)
                                       << QStringList{"scene.zip|C:/p/scene.zip|100"};
    QTest::newRow("value after the first =")
        << crlf({"[files]", "path0=a=b/c.png", "pathlocal0=C:/a=b/c.png", "pathsize0=7"})
        << QStringList{"a=b/c.png|C:/a=b/c.png|7"};
    QTest::newRow("numbers are ignored") << crlf({"[files]", "path7=a.zip", "pathlocal2=C:/a.zip", "pathsize9=4"})
                                         << QStringList{"a.zip|C:/a.zip|4"};
    QTest::newRow("malformed and negative sizes are 0")
        << crlf({"[files]", "path0=a.zip", "pathlocal0=C:/a.zip", "pathsize0=12kb", "path1=b.zip",
                 "pathlocal1=C:/b.zip", "pathsize1=-40"})
        << QStringList{"a.zip|C:/a.zip|0", "b.zip|C:/b.zip|0"};
    QTest::newRow("64-bit size") << crlf({"[files]", "path0=big.zip", "pathlocal0=C:/big.zip",
                                          "pathsize0=6000000000"})
                                 << QStringList{"big.zip|C:/big.zip|6000000000"};
}

void TestCfgReader::fileSection()
{
    QFETCH(QByteArray, cfg);
    QFETCH(QStringList, files);

    writeFile(cfgPath(QStringLiteral("scene")), cfg);
    qint64 sum = 0;
    for (const QString& f : files)
        sum += f.section(QLatin1Char('|'), 2).toLongLong();

    // Refreshing counts nothing; preparing the upload adds the sizes.
    auto j = job();
    j->uploadBytesTotal = 10;
    QCOMPARE(describe(m_reader->readJobConfig(j.get(), true, false)), files);
    QCOMPARE(j->uploadBytesTotal, qint64(10));
    QCOMPARE(describe(m_reader->readJobConfig(j.get(), false, false)), files);
    QCOMPARE(j->uploadBytesTotal, 10 + sum);
}

void TestCfgReader::createDirsEmittedOnce()
{
    writeFile(cfgPath(QStringLiteral("scene")),
              crlf({"[files]", "path0=scene.zip", "pathlocal0=C:/s.zip", "pathsize0=1", "path1=tex/a.png",
                    "pathlocal1=C:/a.png", "pathsize1=1", "path2=tex/b.png", "pathlocal2=C:/b.png", "pathsize2=1",
                    "path3=tex/sub/c.png", "pathlocal3=C:/c.png", "pathsize3=1", "path4=/root.png",
                    "pathlocal4=C:/root.png", "pathsize4=1"}));
    QSignalSpy spy(m_reader.get(), &CfgReader::createDirsOnServerSignal);
    auto j = job();
    QCOMPARE(m_reader->readJobConfig(j.get(), false, false).size(), 5);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<QSet<QString>>(), (QSet<QString>{"tex", "tex/sub"}));
    QCOMPARE(spy.at(0).at(1).value<KiteProject*>(), j.get());
    QVERIFY(j->createDirsSent);
}

void TestCfgReader::createDirsSuppressed_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<bool>("checkOnly");
    QTest::addColumn<bool>("waitingForCheckFiles");
    QTest::addColumn<bool>("uploaded");

    const QByteArray files = crlf({"[files]", "path0=tex/a.png", "pathlocal0=C:/a.png", "pathsize0=1"});
    QTest::newRow("check only") << files << true << false << false;
    QTest::newRow("waiting for check files") << files << false << true << false;
    QTest::newRow("uploaded") << files << false << false << true;
    QTest::newRow("uploadfinished in cfg") << files + crlf({"uploadfinished=true"}) << false << false << false;
    QTest::newRow("dirscreated in cfg") << crlf({"dirscreated=true"}) + files << false << false << false;
}

void TestCfgReader::createDirsSuppressed()
{
    QFETCH(QByteArray, cfg);
    QFETCH(bool, checkOnly);
    QFETCH(bool, waitingForCheckFiles);
    QFETCH(bool, uploaded);

    writeFile(cfgPath(QStringLiteral("scene")), cfg);
    QSignalSpy spy(m_reader.get(), &CfgReader::createDirsOnServerSignal);
    auto j = job();
    j->waitingForCheckFiles = waitingForCheckFiles;
    j->isUploaded = uploaded;
    QCOMPARE(m_reader->readJobConfig(j.get(), checkOnly, false).size(), 1);
    QCOMPARE(spy.count(), 0);
    QVERIFY(!j->createDirsSent);
}

void TestCfgReader::headerOnlyReturnsNoFiles()
{
    writeFile(cfgPath(QStringLiteral("scene")),
              crlf({"teamid=4", "[files]", "path0=tex/a.png", "pathlocal0=C:/a.png", "pathsize0=8"}));
    auto j = job();
    QVERIFY(m_reader->readJobConfig(j.get(), true, true).isEmpty());
    QCOMPARE(j->teamid, 4);
    QCOMPARE(j->uploadBytesTotal, qint64(0));
    QVERIFY(j->cfgRead);
}

void TestCfgReader::missingCfg()
{
    QSignalSpy spy(m_reader.get(), &CfgReader::createDirsOnServerSignal);
    auto j = job(QStringLiteral("absent"));
    j->isLocal = true;
    QVERIFY(m_reader->readJobConfig(j.get(), false, false).isEmpty());
    QVERIFY(!j->isLocal);
    QVERIFY(!j->cfgRead);
    QCOMPARE(spy.count(), 0);
}

void TestCfgReader::nameNotAFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent folder") << "../outside";
    QTest::newRow("backslash") << "..\\outside";
    QTest::newRow("dot-dot") << "..";
    QTest::newRow("empty") << "";
}

void TestCfgReader::nameNotAFileName()
{
    QFETCH(QString, name);
    // Cfgs the joined path would reach.
    const QByteArray cfg = crlf({"teamid=3", "renderer=vray", "program=max"});
    writeFile(m_dir->path() + QStringLiteral("/outside.cfg"), cfg);
    writeFile(m_dir->path() + QStringLiteral("/tester.cfg"), cfg);
    writeFile(userDir() + QStringLiteral("/.cfg"), cfg);
    m_settings->setUploadToDc2Renderers(QStringLiteral("vray"));
    m_settings->setUploadToDc2Programs(QStringLiteral("max"));

    auto j = job(name);
    j->isLocal = true;
    QVERIFY(m_reader->readJobConfig(j.get(), true, false).isEmpty());
    QVERIFY(!j->isLocal);
    QCOMPARE(j->teamid, 0);
    QCOMPARE(m_reader->serverNumberForUpload(name), 1);
}

void TestCfgReader::liveUploadConversion()
{
    const QString localFile = m_dir->filePath(QStringLiteral("render input.exr"));
    writeFile(localFile, QByteArray(37, 'x'));
    const QByteArray list = QStringLiteral("C:\\scenes\\a.png|/tex\n"
                                           "no separator\n"
                                           "\n"
                                           "%1|/tex/sub/\n"
                                           "C:\\root.png|\n")
                                .arg(localFile)
                                .toUtf8();
    const QString listPath = m_dir->filePath(CfgReader::liveUploadListFileName());
    writeFile(listPath, list);
    const QString cfg = cfgPath(CfgReader::liveUploadJobName());
    writeFile(cfg, crlf({"teamid=5", "path0=old.png", "pathlocal0=C:/old.png", "pathsize0=9"}));

    auto j = job(CfgReader::liveUploadJobName());
    j->isLiveUpload = true;
    const QList<UploadFile> files = m_reader->readJobConfig(j.get(), true, false);

    const QByteArray expected = QStringLiteral("path0=tex/a.png\npathlocal0=C:/scenes/a.png\npathsize0=0\n"
                                               "path1=tex/sub/render input.exr\npathlocal1=%1\npathsize1=37\n"
                                               "path2=root.png\npathlocal2=C:/root.png\npathsize2=0\n")
                                    .arg(localFile)
                                    .toUtf8();
    QCOMPARE(readFile(cfg), expected);
    QVERIFY(!QFile::exists(listPath));
    QCOMPARE(describe(files), (QStringList{"tex/a.png|C:/scenes/a.png|0",
                                           "tex/sub/render input.exr|" + localFile + "|37", "root.png|C:/root.png|0"}));
    QCOMPARE(j->teamid, 0);
}

void TestCfgReader::liveUploadWithoutListKeepsCfg()
{
    const QByteArray content = crlf({"path0=tex/a.png", "pathlocal0=C:/a.png", "pathsize0=3"});
    writeFile(cfgPath(CfgReader::liveUploadJobName()), content);
    // Another job with the flag set never rewrites its own cfg from the list.
    const QString listPath = m_dir->filePath(CfgReader::liveUploadListFileName());
    writeFile(listPath, "C:\\b.png|/tex\n");
    writeFile(cfgPath(QStringLiteral("other")), content);
    auto other = job(QStringLiteral("other"));
    other->isLiveUpload = true;
    QCOMPARE(describe(m_reader->readJobConfig(other.get(), true, false)), QStringList{"tex/a.png|C:/a.png|3"});
    QVERIFY(QFile::exists(listPath));
    QVERIFY(QFile::remove(listPath));

    auto j = job(CfgReader::liveUploadJobName());
    j->isLiveUpload = true;
    QCOMPARE(describe(m_reader->readJobConfig(j.get(), true, false)), QStringList{"tex/a.png|C:/a.png|3"});
    QCOMPARE(readFile(cfgPath(CfgReader::liveUploadJobName())), content);
}

void TestCfgReader::serverNumberForUpload_data()
{
    QTest::addColumn<bool>("allToDc2");
    QTest::addColumn<QString>("renderers");
    QTest::addColumn<QString>("programs");
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<int>("server");

    const QByteArray cfg = crlf({"program=3ds Max 2024", "renderer=V-Ray GPU"});
    QTest::newRow("all to dc2") << true << "" << "" << QByteArray() << 2;
    QTest::newRow("both match") << false << "corona;v-ray" << "maya;3DS MAX" << cfg << 2;
    QTest::newRow("renderer only") << false << "V-RAY" << "maya" << cfg << 1;
    QTest::newRow("program only") << false << "arnold" << "3ds max" << cfg << 1;
    QTest::newRow("no cfg") << false << "v-ray" << "3ds max" << QByteArray() << 1;
    QTest::newRow("empty lists match nothing") << false << "" << "" << cfg << 1;
    QTest::newRow("empty entry matches nothing") << false << "arnold;" << "maya;" << cfg << 1;
}

void TestCfgReader::serverNumberForUpload()
{
    QFETCH(bool, allToDc2);
    QFETCH(QString, renderers);
    QFETCH(QString, programs);
    QFETCH(QByteArray, cfg);
    QFETCH(int, server);

    if (!cfg.isEmpty())
        writeFile(cfgPath(QStringLiteral("scene")), cfg);
    m_settings->uploadAllToDc2 = allToDc2;
    m_settings->setUploadToDc2Renderers(renderers);
    m_settings->setUploadToDc2Programs(programs);
    QCOMPARE(m_reader->serverNumberForUpload(QStringLiteral("scene")), server);
}

QTEST_MAIN(TestCfgReader)
#include "tst_cfgreader.moc"
