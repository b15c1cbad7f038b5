// Turning a job's output listing into its download list, against a baseline
// of the same run: parsing the listing text and listing the local folders.
//
// The listing has 100,000 files in 100 folders; the local folder already
// holds half of them, with the listed sizes. The download list must be built
// in at most twice the baseline time. A second figure compares the time per
// listed file for a listing of 10 folders with the full one: handling a file
// does not depend on how long the listing is.

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "transfers/downloadlistupdater.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;
constexpr int kSmallListingFolders = 10;
constexpr int kRuns = 9;
constexpr double kBound = 2.0;

QString folderName(int folder)
{
    return QStringLiteral("pass_%1").arg(folder, 3, 10, QLatin1Char('0'));
}

QString fileName(int folder, int file)
{
    return folderName(folder) + QStringLiteral("/frame_%1.exr").arg(file, 4, 10, QLatin1Char('0'));
}

// Sizes between 1 and 96 bytes keep the local half small on disk.
qint64 fileSize(int folder, int file)
{
    return 1 + (folder * 31 + file * 7) % 96;
}

QByteArray listingText(int folders)
{
    QJsonArray folderArray;
    QJsonArray fileArray;
    for (int folder = 0; folder < folders; ++folder) {
        folderArray.append(QJsonObject{{QStringLiteral("file"), folderName(folder)}});
        for (int file = 0; file < kFilesPerFolder; ++file)
            fileArray.append(QJsonObject{{QStringLiteral("file"), fileName(folder, file)},
                                         {QStringLiteral("size"), double(fileSize(folder, file))}});
    }
    const QJsonObject data{{QStringLiteral("folders"), folderArray}, {QStringLiteral("files"), fileArray}};
    return QJsonDocument(data).toJson(QJsonDocument::Compact);
}

bool writeLocalHalf(const QString& root)
{
    for (int folder = 0; folder < kFolders; ++folder) {
        if (!QDir().mkpath(root + QLatin1Char('/') + folderName(folder)))
            return false;
        for (int file = 0; file < kFilesPerFolder; file += 2) {
            QFile out(root + QLatin1Char('/') + fileName(folder, file));
            if (!out.open(QIODevice::WriteOnly))
                return false;
            out.write(QByteArray(int(fileSize(folder, file)), 'x'));
        }
    }
    return true;
}

double timeMs(const std::function<void()>& work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);

    QTemporaryDir dir;
    if (!dir.isValid()) {
        out << "bench_downloadlist: no temporary folder\n";
        return 2;
    }
    {
        QSettings ini(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("UserData/username"), QStringLiteral("bench"));
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), dir.filePath(QStringLiteral("projects")));
        ini.setValue(QStringLiteral("Settings/logLevel"), 1);
    }
    KiteSettings settings;
    settings.setApplicationDirectory(dir.path());
    settings.load();
    settings.syncActive = true;
    settings.isPaid = true;

    const QString local = dir.filePath(QStringLiteral("output"));
    out << "bench_downloadlist: writing " << kFolders * kFilesPerFolder / 2 << " local files...\n";
    out.flush();
    if (!writeLocalHalf(local)) {
        out << "bench_downloadlist: could not write the local files\n";
        return 2;
    }

    auto* job = new KiteProject(&settings, QStringLiteral("benchjob"), QStringLiteral("1"), &settings);
    job->isUnknown = false;
    job->isUploaded = true;
    job->isRendering = true; // the list is built, nothing finishes
    job->localDownloadDirCustom = local;
    settings.jobList.append(job);
    DownloadListUpdater updater(&settings);

    const QByteArray fullText = listingText(kFolders);
    const QByteArray smallText = listingText(kSmallListingFolders);

    // Baseline: parse the listing, list the local folders.
    auto parse = [&] {
        const QJsonDocument document = QJsonDocument::fromJson(fullText);
        if (document.object().isEmpty())
            std::abort();
    };
    // Listing a local folder means what the comparison needs of it: every
    // file's name and size (one directory read and one size query per file,
    // as "ls -l" does).
    auto listFolders = [&] {
        qsizetype entries = 0;
        qint64 bytes = 0;
        for (int folder = 0; folder < kFolders; ++folder) {
            const QFileInfoList infos = QDir(local + QLatin1Char('/') + folderName(folder))
                                            .entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
            for (const QFileInfo& info : infos)
                bytes += info.size();
            entries += infos.size();
        }
        if (entries != kFolders * kFilesPerFolder / 2 || bytes == 0)
            std::abort();
    };

    // Reference: the size of every local file, queried the cheapest way the
    // system offers (shown for comparison; the baseline pays it too).
    auto querySizes = [&] {
#ifdef Q_OS_UNIX
        qint64 total = 0;
        for (int folder = 0; folder < kFolders; ++folder) {
            DIR* handle = ::opendir(QFile::encodeName(local + QLatin1Char('/') + folderName(folder)).constData());
            if (!handle)
                std::abort();
            while (const dirent* entry = ::readdir(handle)) {
                struct stat info;
                if (entry->d_name[0] != '.' && ::fstatat(::dirfd(handle), entry->d_name, &info, 0) == 0)
                    total += info.st_size;
            }
            ::closedir(handle);
        }
        if (total == 0)
            std::abort();
#endif
    };

    struct Listing
    {
        QJsonArray files;
        QJsonArray folders;
        int expected = 0;
    };
    auto parsed = [](const QByteArray& text, int expected) {
        const QJsonObject data = QJsonDocument::fromJson(text).object();
        return Listing{data.value(QStringLiteral("files")).toArray(), data.value(QStringLiteral("folders")).toArray(),
                       expected};
    };
    const Listing full = parsed(fullText, kFolders * kFilesPerFolder / 2);
    const Listing small = parsed(smallText, kSmallListingFolders * kFilesPerFolder / 2);
    // The list of the previous run is emptied untimed, as the downloader
    // would have consumed it.
    auto buildList = [&](const Listing& listing) {
        job->downloadList.clear();
        job->pendingOverwriteList.clear();
        const double ms = timeMs([&] { updater.fileListUpdateSlot(listing.files, listing.folders, job); });
        if (job->downloadList.size() != listing.expected || !job->pendingOverwriteList.isEmpty())
            std::abort();
        return ms;
    };

    // Warm-up (file system caches, allocator), then the runs interleaved so
    // that the load of a shared machine hits all figures alike.
    parse();
    listFolders();
    buildList(full);
    buildList(small);
    querySizes();
    std::vector<double> parseRuns, listRuns, sizeRuns, fullRuns, smallRuns;
    for (int run = 0; run < kRuns; ++run) {
        parseRuns.push_back(timeMs(parse));
        listRuns.push_back(timeMs(listFolders));
        sizeRuns.push_back(timeMs(querySizes));
        fullRuns.push_back(buildList(full));
        smallRuns.push_back(buildList(small));
    }
    const double parseMs = median(parseRuns);
    const double listMs = median(listRuns);
    const double baselineMs = parseMs + listMs;
    const double fullMs = median(fullRuns);
    const double smallMs = median(smallRuns);
    const double sizeMs = median(sizeRuns);

    const double ratio = fullMs / baselineMs;
    const double perFileFull = fullMs / (kFolders * kFilesPerFolder);
    const double perFileSmall = smallMs / (kSmallListingFolders * kFilesPerFolder);
    const double scaling = perFileFull / perFileSmall;
    const bool pass = ratio <= kBound;

    out << QStringLiteral("listing: %1 files in %2 folders, %3 of them local\n")
               .arg(kFolders * kFilesPerFolder)
               .arg(kFolders)
               .arg(kFolders * kFilesPerFolder / 2);
    out << QStringLiteral("baseline: parse %1 ms + list local folders %2 ms = %3 ms (median of %4)\n")
               .arg(parseMs, 0, 'f', 1)
               .arg(listMs, 0, 'f', 1)
               .arg(baselineMs, 0, 'f', 1)
               .arg(kRuns);
    out << QStringLiteral("download list: %1 ms\n").arg(fullMs, 0, 'f', 1);
    out << QStringLiteral("ratio download list / baseline: %1 (bound %2) %3\n")
               .arg(ratio, 0, 'f', 2)
               .arg(kBound, 0, 'f', 1)
               .arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
#ifdef Q_OS_UNIX
    out << QStringLiteral("of which the size queries of the local files take at least %1 ms (readdir + fstatat alone); "
                          "without them: ratio %2\n")
               .arg(sizeMs, 0, 'f', 1)
               .arg((fullMs - sizeMs) / baselineMs, 0, 'f', 2);
#endif
    out << QStringLiteral("time per listed file, %1 files / %2 files: %3 (1.0: independent of the listing length)\n")
               .arg(kFolders * kFilesPerFolder)
               .arg(kSmallListingFolders * kFilesPerFolder)
               .arg(scaling, 0, 'f', 2);
    out.flush();
    LogWriter::instance().close();
    return pass ? 0 : 1;
}
