#include "fuzzentries.h"
#include "net/jsonguard.h"
#include "net/jsonread.h"

#include <QtTest>

// Replays the inputs the fuzzers found (fuzz/regressions/<target>/) and the
// seed corpora (fuzz/corpus/<target>/) through the same entries the fuzz
// targets use. An input that brings back a crash, a hang or a sanitizer
// report fails this test the way it failed the fuzzer; an input that breaks a
// target's invariant aborts with the invariant's text.
class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void foldersNameTargets_data();
    void foldersNameTargets();
    void regressions_data();
    void regressions();
    void seeds_data();
    void seeds();
    void desktopAndDialogsAreCaught();
    void repeatedMemberNames_data();
    void repeatedMemberNames();
    void numbersAsText_data();
    void numbersAsText();
    void projectsListReadAlike_data();
    void projectsListReadAlike();

private:
    static QString fuzzDir() { return QStringLiteral(KITE_FUZZ_DIR); }
    static void addInputRows(const QString& folder, bool expectSome);
};

void TestFuzzRegressions::initTestCase()
{
    FuzzEntries::prepareProcess();
    QLoggingCategory::setFilterRules(QStringLiteral("kite.*.debug=false\nkite.*.warning=false"));
}

void TestFuzzRegressions::cleanupTestCase()
{
    FuzzEntries::shutdown();
}

// Every folder of inputs belongs to a target, so that no input is skipped
// because of a misspelt folder.
void TestFuzzRegressions::foldersNameTargets_data()
{
    QTest::addColumn<QString>("folder");
    for (const char* kind : {"regressions", "corpus"}) {
        const QDir dir(fuzzDir() + QLatin1Char('/') + QLatin1String(kind));
        const QStringList folders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& folder : folders)
            QTest::newRow(qPrintable(QLatin1String(kind) + QLatin1Char('/') + folder)) << folder;
    }
}

void TestFuzzRegressions::foldersNameTargets()
{
    QFETCH(QString, folder);
    QVERIFY2(FuzzEntries::targets().contains(folder), qPrintable(folder));
    QVERIFY(FuzzEntries::entry(folder) != nullptr);
}

void TestFuzzRegressions::addInputRows(const QString& folder, bool expectSome)
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("file");
    int rows = 0;
    for (const QString& target : FuzzEntries::targets()) {
        QDirIterator it(fuzzDir() + QLatin1Char('/') + folder + QLatin1Char('/') + target, QDir::Files);
        QStringList files;
        while (it.hasNext())
            files << it.next();
        files.sort();
        for (const QString& file : qAsConst(files)) {
            const QString name = QFileInfo(file).fileName();
            if (name.startsWith(QLatin1Char('.')) || name == QLatin1String("README.md"))
                continue;
            QTest::newRow(qPrintable(target + QLatin1Char('/') + name)) << target << file;
            ++rows;
        }
    }
    if (expectSome && rows == 0)
        QTest::newRow("no inputs") << QString() << QString();
}

void TestFuzzRegressions::regressions_data()
{
    addInputRows(QStringLiteral("regressions"), false);
}

// Each finding runs against a freshly built state, as the fuzzer ran it when
// it was found.
void TestFuzzRegressions::regressions()
{
    QFETCH(QString, target);
    QFETCH(QString, file);
    QFile input(file);
    QVERIFY2(input.open(QIODevice::ReadOnly), qPrintable(file));
    const FuzzEntries::Entry entry = FuzzEntries::entry(target);
    QVERIFY(entry);
    FuzzEntries::restart();
    entry(input.readAll());
}

void TestFuzzRegressions::seeds_data()
{
    addInputRows(QStringLiteral("corpus"), true);
}

// The seeds run one after the other against the same state, as they do at
// the start of a fuzzing run.
void TestFuzzRegressions::seeds()
{
    QFETCH(QString, target);
    QFETCH(QString, file);
    QVERIFY2(!target.isEmpty(), "the seed corpus is empty");
    QFile input(file);
    QVERIFY2(input.open(QIODevice::ReadOnly), qPrintable(file));
    const FuzzEntries::Entry entry = FuzzEntries::entry(target);
    QVERIFY(entry);
    entry(input.readAll());
}

// A portal link from the server and a job's output folder reach the catcher,
// never the desktop; the folder chooser a server request opens (its own event
// loop) is rejected: no input starts a browser or hangs a fuzz run.
void TestFuzzRegressions::desktopAndDialogsAreCaught()
{
    FuzzEntries::restart();
    const int urls = FuzzEntries::urlsCaught(), dialogs = FuzzEntries::modalDialogsRejected();
    FuzzEntries::runMessage(QByteArray(
        R"({"action":"getUserToken","data":{"token":"0123456789abcdef"},"custom":{"linkUrl":"https://portal.example/my"}})"));
    QCOMPARE(FuzzEntries::urlsCaught(), urls + 1);
    FuzzEntries::runMessage(QByteArray(R"({"action":"openDownloadFolder","data":{"scene":"downloaded","id":"9019"}})"));
    QCOMPARE(FuzzEntries::urlsCaught(), urls + 2);
    FuzzEntries::runMessage(QByteArray(R"({"action":"selectDownloadFolder","data":{"scene":"rendered","id":"9015"}})"));
    QCOMPARE(FuzzEntries::modalDialogsRejected(), dialogs + 1);
}

// The check that keeps texts with a repeated member name from Qt's parser
// (which would leak): names compared after decoding, per object, at any depth.
void TestFuzzRegressions::repeatedMemberNames_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("repeated");
    QTest::newRow("distinct names") << QByteArray(R"({"a":{"a":1},"b":[{"a":2},{"a":3}]})") << false;
    QTest::newRow("same name, one object") << QByteArray(R"({"a":{},"a":{}})") << true;
    QTest::newRow("same name, nested object") << QByteArray(R"({"d":{"x":1,"y":[{"s":1,"s":2}]}})") << true;
    QTest::newRow("escaped spelling") << QByteArray(R"({"State":1,"\u0053tate":2})") << true;
    QTest::newRow("escaped quote") << QByteArray(R"({"a\"b":1,"a\u0022b":2})") << true;
    QTest::newRow("name as value only") << QByteArray(R"({"a":"a","b":"a"})") << false;
    QTest::newRow("strings in an array") << QByteArray(R"(["a","a",{"a":1}])") << false;
    QTest::newRow("colon inside a string") << QByteArray(R"({"a":"x:y","b":"a:"})") << false;
    QTest::newRow("braces inside a string") << QByteArray(R"({"a":"{\"a\":1}","b":1})") << false;
    QTest::newRow("two objects, same names") << QByteArray(R"({"a":1}{"a":2})") << false;
    QTest::newRow("truncated") << QByteArray(R"({"a":1,"a)") << false;
    QTest::newRow("unbalanced closers") << QByteArray(R"(]]}}{"a":1,"a":2})") << true;
    QTest::newRow("deep nesting") << QByteArray(5000, '[') + QByteArray(R"({"a":1,"a":2})") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestFuzzRegressions::repeatedMemberNames()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, repeated);
    QCOMPARE(JsonGuard::hasRepeatedMemberName(json), repeated);
}

// Ids sent as numbers: whole numbers in the 64-bit range read as integers,
// anything beyond it as its exact text (it once went through an out-of-range
// conversion to a 64-bit integer).
void TestFuzzRegressions::numbersAsText_data()
{
    QTest::addColumn<double>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("id") << 9012.0 << QStringLiteral("9012");
    QTest::newRow("negative") << -7.0 << QStringLiteral("-7");
    QTest::newRow("fraction") << 1.5 << QStringLiteral("1.5");
    QTest::newRow("largest 64-bit power of two") << 4611686018427387904.0 << QStringLiteral("4611686018427387904");
    QTest::newRow("2^63") << 9223372036854775808.0 << QString::number(9223372036854775808.0, 'g', 17);
    QTest::newRow("-2^63") << -9223372036854775808.0 << QStringLiteral("-9223372036854775808");
    QTest::newRow("1e300") << 1e300 << QString::number(1e300, 'g', 17);
    QTest::newRow("-1e300") << -1e300 << QString::number(-1e300, 'g', 17);
}

void TestFuzzRegressions::numbersAsText()
{
    QFETCH(double, number);
    QFETCH(QString, text);
    QCOMPARE(JsonRead::text(QJsonValue(number)), text);
}

// The projects list is read by a fast reader of its own: every member reads
// as the general reading of messages reads it, whatever type the farm sent.
void TestFuzzRegressions::projectsListReadAlike_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<bool>("fast");
    QTest::newRow("as the farm sends it")
        << QByteArray(R"({"download_enabled":true,"error_text":"","id":"1001","isPaid":true,"isTrial":false,)"
                      R"("name":"shot","queued":true,"restartDownloadCount":0,"server_download":1,"status":"QUEUED","teamid":"0"})")
        << true;
    QTest::newRow("numbers for texts") << QByteArray(R"({"name":12,"id":9012,"teamid":7,"restartDownloadCount":"3","server_download":"2"})") << true;
    QTest::newRow("fractions and ranges")
        << QByteArray(R"({"id":1.5,"teamid":3.0,"restartDownloadCount":2147483648,"server_download":-2147483648,"name":1e300})") << true;
    QTest::newRow("64-bit numbers") << QByteArray(R"({"id":9007199254740993,"name":-9223372036854775808,"teamid":12345678901})") << true;
    QTest::newRow("texts that are no numbers") << QByteArray(R"({"teamid":" 12 ","restartDownloadCount":"x","server_download":"","id":true})") << true;
    QTest::newRow("nulls") << QByteArray(R"({"download_enabled":null,"isPaid":null,"server_download":null,"name":null,"status":null})") << true;
    QTest::newRow("other types")
        << QByteArray(R"({"download_enabled":1,"isPaid":"yes","queued":"true","isTrial":1,"status":5,"error_text":false,"server_download":true})")
        << true;
    QTest::newRow("escapes") << QByteArray(R"({"name":"Sz\u00e9ne \ud83c\udfa5 \"a\"\\b","error_text":"line\nbreak\u0000end"})") << true;
    QTest::newRow("no members") << QByteArray("{}") << true;
    QTest::newRow("nested: the general way") << QByteArray(R"({"name":"a","extra":{"x":[1]}})") << false;
    QTest::newRow("not an object: the general way") << QByteArray(R"("shot")") << false;
    QTest::newRow("a name given twice: the general way") << QByteArray(R"({"name":"a","x":1,"n\u0061me":"b"})") << false;
}

void TestFuzzRegressions::projectsListReadAlike()
{
    QFETCH(QByteArray, element);
    QFETCH(bool, fast);
    const QByteArray text = R"({"data":{"projects":[{"name":"first","id":"1"},)" + element + R"(]},"action":"getProjectStates"})";
    bool taken = false;
    QCOMPARE(FuzzEntries::projectsListDifference(text, &taken), QString());
    QCOMPARE(taken, fast);
}

QTEST_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
