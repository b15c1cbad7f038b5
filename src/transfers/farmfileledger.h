#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// What the client knows of the files on the farm's upload servers beyond the
// listing a job asked for. A job's listing is a snapshot: by the time the
// uploader gets to the job, another job may have sent a shared file whole, or
// a stopped upload may have left one partial. Every fact here carries the
// moment it became known (a number that only grows), so that an older listing
// never overrides a newer fact:
//   - the size the farm held a file with: from a listing (as of the moment the
//     listing was asked for) or from a passed check (as of the answer);
//   - the moment an upload of the file was last disturbed: a job stopped while
//     its uploader was writing it, or another job was seen writing it. What
//     the farm holds after that is unknown until it is seen again.
// Files are told apart by upload server and server path.
class FarmFileLedger
{
public:
    using Moment = quint64;

    // The moment now; the next fact recorded is newer.
    Moment now() const { return m_clock; }
    // A new moment, newer than every fact recorded so far.
    Moment tick() { return ++m_clock; }

    // A listing asked for at `askedAt` showed the file with `size` bytes (0:
    // not there). Returns true when this is now the newest size known.
    bool noteListed(int server, const QString& path, qint64 size, Moment askedAt);
    // The farm confirmed the file whole with `size` bytes just now.
    void noteWhole(int server, const QString& path, qint64 size);
    // An upload of the file stopped midway, or another job is writing it.
    void noteDisturbed(int server, const QString& path);

    // The size to go by for a file that a listing asked for at `askedAt`
    // showed with `listedSize` bytes: a newer size when one is known and
    // nothing disturbed the file since, else the listed one.
    qint64 sizeToGoBy(int server, const QString& path, qint64 listedSize, Moment askedAt) const;
    // Whether the farm still holds the file whole with `size` bytes as far as
    // the client knows, given that it did at `knownAt`: nothing disturbed it
    // since, or it was seen whole again after the disturbance.
    bool stillWhole(int server, const QString& path, qint64 size, Moment knownAt) const;
    // The newest size known and its moment; -1 when none is known.
    qint64 knownSize(int server, const QString& path, Moment* at = nullptr) const;

    // One file of one upload server, as the ledger keys it.
    static QString key(int server, const QString& path);

private:
    struct Fact
    {
        qint64 size = -1;
        Moment sizeAt = 0;
        Moment disturbedAt = 0;
    };

    QHash<QString, Fact> m_facts;
    Moment m_clock = 0;
};
