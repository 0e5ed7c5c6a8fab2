#pragma once

#include "files/digestcache.h"
#include "files/manifest.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class QTimer;

struct HashResult
{
    enum Outcome : quint8
    {
        NotChecked, // the run was cancelled before this file was done
        Hashed,
        Missing,
        WrongSize, // not hashed: the size alone says the file is not the expected one
        Unreadable
    };
    // One per file of a run and in the same order, so the file's path is not repeated here.
    QString sha256;   // lower-case hex, for Hashed only
    qint64 size = -1; // the size found on disk, -1 when missing
    Outcome outcome = NotChecked;
    bool fromCache = false;
};

// Hashes a list of files below one folder on one thread per core, off the calling thread, with
// progress in bytes and a cancel that takes effect within one 64 KiB block. Each file is given as
// a manifest lists it: its path below the folder, the size it must have (any, when negative) and,
// when known, the digest it should have. With a cache file it skips every file whose size and
// modification time are the remembered ones, and stores what it learned while its owner already
// works with the results. Owned by and driven from one thread; its signals arrive there.
class ParallelHasher : public QObject
{
    Q_OBJECT

public:
    explicit ParallelHasher(QObject *parent = nullptr);
    // Cancels a run still going and waits for its threads, and for the cache of a finished run
    // to be stored (a fraction of a second).
    ~ParallelHasher() override;

    // 0 (the default) means one thread per core.
    void setThreadCount(int count) { threadCount = count; }
    // False: every file is read, the cache only learns (the player asked for every byte to be
    // read). True by default.
    void setTrustCache(bool trust) { trustCache = trust; }
    // Starts a run; ignored while one is going. An empty `cacheFile` hashes every file and
    // keeps nothing. The files in `readAgain` are read even when their size and time are the
    // remembered ones (something saw them change). `cacheScope` is the DigestCache's scope
    // (empty: the folder alone).
    void start(const QString &folder, const QList<FileEntry> &files, const QString &cacheFile,
               const QSet<QString> &readAgain = {}, const QString &cacheScope = QString());
    // Adds digests known without a read (files checked as they landed) to the cache, stored in
    // the order of `files`, in the background; the next run waits for it. Ignored while a run is
    // going, which reads those files itself.
    void remember(const QString &folder, const QList<FileEntry> &files, const QString &cacheFile,
                  const QList<std::pair<QString, DigestCache::Entry>> &records);
    // A cancelled run stops reading at once, stores nothing, and still ends with `finished`.
    void cancel();
    bool isRunning() const { return running; }

signals:
    // Bytes done over the sum of the files' sizes (a file taken from the cache counts whole), and
    // the files begun.
    void progress(qint64 done, qint64 total, int filesBegun);
    // One result per file, in the files' order.
    void finished(const QList<HashResult> &results, bool cancelled);

private:
    struct Run;
    static void readStamps(Run &run);
    static void work(Run &run);
    void runAll(std::shared_ptr<Run> run);
    void reportProgress();

    int threadCount = 0;
    bool trustCache = true;
    bool running = false;
    std::shared_ptr<Run> current;
    std::thread coordinator;
    QTimer *progressTimer;
    qint64 lastReported = -1;
    int lastBegun = -1;
};
