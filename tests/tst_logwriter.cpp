#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "support/messagecapture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList logLines(const QString& dir)
{
    QFile file(QDir(dir).filePath(QStringLiteral("logFile.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The message part of a log line (after the time stamp and ": ").
QString messageOf(const QString& line)
{
    return line.mid(25);
}

} // namespace

class TestLogWriter : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_settings.reset(new KiteSettings);
        m_settings->setApplicationDirectory(m_dir->path());
    }

    void cleanup()
    {
        LogWriter::instance().close();
        m_settings.reset();
        m_dir.reset();
    }

    void lineFormat()
    {
        const QDateTime time(QDate(2024, 3, 5), QTime(7, 8, 9, 45));
        QCOMPARE(LogWriter::formatLine(time, QStringLiteral("hello")), QStringLiteral("2024-03-05 07:08:09:045: hello"));
    }

    void writesUtf8LinesWithLineFeed()
    {
        const QString message = QStringLiteral("Übertragung fertig ✓");
        m_settings->writeToLog(message);
        LogWriter::instance().close();

        QFile file(QDir(m_dir->path()).filePath(QStringLiteral("logFile.log")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.endsWith(QByteArray(" ") + message.toUtf8() + "\n"));
        QVERIFY(!bytes.contains('\r'));
        const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}: "));
        QVERIFY(stamp.match(QString::fromUtf8(bytes)).hasMatch());
    }

    void levels_data()
    {
        QTest::addColumn<int>("logLevel");
        QTest::addColumn<int>("level"); // -1: the one-argument overload
        QTest::addColumn<bool>("written");
        QTest::newRow("logLevel 2, level 1 written") << 2 << 1 << true;
        QTest::newRow("logLevel 2, level 2 dropped") << 2 << 2 << false;
        QTest::newRow("logLevel 2, level 3 dropped") << 2 << 3 << false;
        QTest::newRow("logLevel 2, one-argument written") << 2 << -1 << true;
        QTest::newRow("logLevel 0, one-argument dropped") << 0 << -1 << false;
        QTest::newRow("logLevel 4, level 3 written") << 4 << 3 << true;
    }

    void levels()
    {
        QFETCH(int, logLevel);
        QFETCH(int, level);
        QFETCH(bool, written);
        m_settings->logLevel = logLevel;
        if (level < 0)
            m_settings->writeToLog(QStringLiteral("probe"));
        else
            m_settings->writeToLog(QStringLiteral("probe"), level);
        LogWriter::instance().close();

        const QStringList lines = logLines(m_dir->path());
        QCOMPARE(lines.size(), written ? 1 : 0);
        if (written)
            QCOMPARE(messageOf(lines.first()), QStringLiteral("probe"));
    }

    void echoesLineToDebugOutput()
    {
        MessageCapture capture("kite.log");
        m_settings->writeToLog(QStringLiteral("echo me"));
        QCOMPARE(capture.messages.size(), 1);
        QVERIFY(capture.messages.first().endsWith(QStringLiteral(": echo me")));
    }

    void exitingApplicationWritesNothing()
    {
        m_settings->exitingApplication = true;
        MessageCapture capture("kite.log");
        m_settings->writeToLog(QStringLiteral("late"));
        m_settings->writeToLog(QStringLiteral("late detail"), 1);
        LogWriter::instance().close();
        QVERIFY(capture.messages.isEmpty());
        QVERIFY(!QFile::exists(QDir(m_dir->path()).filePath(QStringLiteral("logFile.log"))));
    }

    void unopenableFileCostsOnlyThatLine()
    {
        // A directory in the file's place cannot be opened for appending,
        // whatever the rights of the user running the tests.
        const QString logPath = QDir(m_dir->path()).filePath(QStringLiteral("logFile.log"));
        QVERIFY(QDir().mkpath(logPath));
        {
            MessageCapture capture("kite.log");
            m_settings->writeToLog(QStringLiteral("first"));
            m_settings->writeToLog(QStringLiteral("second"));
            QCOMPARE(capture.messages.count(QStringLiteral("Could not open logFile")), 2);
        }
        QVERIFY(!LogWriter::instance().isOpen());

        QVERIFY(QDir(logPath).removeRecursively());
        m_settings->writeToLog(QStringLiteral("third"));
        LogWriter::instance().close();
        const QStringList lines = logLines(m_dir->path());
        QCOMPARE(lines.size(), 1);
        QCOMPARE(messageOf(lines.first()), QStringLiteral("third"));
    }

    void reopensAfter101LinesWithoutLossOrDuplicates()
    {
        for (int i = 0; i < 101; ++i)
            m_settings->writeToLog(QStringLiteral("line %1").arg(i));
        // Closed (and so on disk) after the 101st line.
        QVERIFY(!LogWriter::instance().isOpen());
        QCOMPARE(logLines(m_dir->path()).size(), 101);

        m_settings->writeToLog(QStringLiteral("line 101"));
        QVERIFY(LogWriter::instance().isOpen());
        for (int i = 102; i < 250; ++i)
            m_settings->writeToLog(QStringLiteral("line %1").arg(i));
        LogWriter::instance().close();

        const QStringList lines = logLines(m_dir->path());
        QCOMPARE(lines.size(), 250);
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(messageOf(lines.at(i)), QStringLiteral("line %1").arg(i));
    }

    void rotation_data()
    {
        QTest::addColumn<qint64>("existingSize");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("exactly 10 MiB stays") << qint64(10 * 1024 * 1024) << false;
        QTest::newRow("past 10 MiB rotates") << qint64(10 * 1024 * 1024 + 1) << true;
    }

    void rotation()
    {
        QFETCH(qint64, existingSize);
        QFETCH(bool, rotated);
        const QDir dir(m_dir->path());
        QByteArray existing(int(existingSize), 'x');
        existing.replace(0, 9, "old start");
        QFile logFile(dir.filePath(QStringLiteral("logFile.log")));
        QVERIFY(logFile.open(QIODevice::WriteOnly));
        logFile.write(existing);
        logFile.close();
        QFile olderOld(dir.filePath(QStringLiteral("logFile.log.old")));
        QVERIFY(olderOld.open(QIODevice::WriteOnly));
        olderOld.write("older rotation\n");
        olderOld.close();

        m_settings->writeToLog(QStringLiteral("after rotation"));
        LogWriter::instance().close();

        QVERIFY(olderOld.open(QIODevice::ReadOnly));
        const QByteArray old = olderOld.readAll();
        olderOld.close();
        QVERIFY(logFile.open(QIODevice::ReadOnly));
        const QByteArray current = logFile.readAll();
        if (rotated) {
            QCOMPARE(old, existing);
            QCOMPARE(logLines(m_dir->path()).size(), 1);
        } else {
            QCOMPARE(old, QByteArray("older rotation\n"));
            QVERIFY(current.startsWith(existing));
        }
        QVERIFY(current.endsWith("after rotation\n"));
    }

    void followsApplicationDirectory()
    {
        QTemporaryDir otherDir;
        KiteSettings other;
        other.setApplicationDirectory(otherDir.path());

        m_settings->writeToLog(QStringLiteral("a1"));
        other.writeToLog(QStringLiteral("b1"));
        m_settings->writeToLog(QStringLiteral("a2"));
        LogWriter::instance().close();

        const QStringList a = logLines(m_dir->path());
        const QStringList b = logLines(otherDir.path());
        QCOMPARE(a.size(), 2);
        QCOMPARE(messageOf(a.at(0)), QStringLiteral("a1"));
        QCOMPARE(messageOf(a.at(1)), QStringLiteral("a2"));
        QCOMPARE(b.size(), 1);
        QCOMPARE(messageOf(b.at(0)), QStringLiteral("b1"));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings;
};

QTEST_GUILESS_MAIN(TestLogWriter)
#include "tst_logwriter.moc"
