#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class QTimer;

// One file to hash: its path below the folder and the size it must have (any, when negative).
// A file whose remembered digest is not to be trusted (the player asked for every byte to be
// read, or something saw the file change) is read even when its size and time are remembered.
struct HashJob
{
    QString relativePath;
    qint64 size = 0;
    bool trustCache = true;
    // The digest the file should have, when known: a remembered digest equal to it comes back as
    // this very string, so a folder checked before costs no new string per file.
    QString expectedSha256 = {};
};

struct HashResult
{
    enum Outcome
    {
        NotChecked, // the run was cancelled before this file was done
        Hashed,
        Missing,
        WrongSize, // not hashed: the size alone says the file is not the expected one
        Unreadable
    };
    QString relativePath;
    Outcome outcome = NotChecked;
    qint64 size = -1; // the size found on disk, -1 when missing
    QString sha256;   // lower-case hex, for Hashed only
    bool fromCache = false;
};

// Hashes a list of files below one folder on one thread per core, off the calling thread, with
// progress in bytes and a cancel that takes effect within one 64 KiB block. With a cache file it
// skips every file whose size and modification time are the remembered ones, and stores what it
// learned while its owner already works with the results. Owned by and driven from one thread; its
// signals arrive there.
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
    // Starts a run; ignored while one is going. An empty `cacheFile` hashes every file and
    // keeps nothing; `cacheScope` is the DigestCache's scope (empty: the folder alone).
    void start(const QString &folder, const QList<HashJob> &jobs, const QString &cacheFile,
               const QString &cacheScope = QString());
    // A cancelled run stops reading at once, stores nothing, and still ends with `finished`.
    void cancel();
    bool isRunning() const { return running; }

signals:
    // Bytes done over the sum of the jobs' sizes (a file taken from the cache counts whole), and
    // the files begun.
    void progress(qint64 done, qint64 total, int filesBegun);
    // One result per job, in the jobs' order.
    void finished(const QList<HashResult> &results, bool cancelled);

private:
    struct Run;
    static void readStamps(Run &run);
    static void work(Run &run);
    void runAll(std::shared_ptr<Run> run);
    void reportProgress();

    int threadCount = 0;
    bool running = false;
    std::shared_ptr<Run> current;
    std::thread coordinator;
    QTimer *progressTimer;
    qint64 lastReported = -1;
    int lastBegun = -1;
};
