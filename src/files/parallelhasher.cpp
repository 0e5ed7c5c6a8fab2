#include "files/parallelhasher.h"

#include "core/filedigest.h"
#include "core/logger.h"
#include "files/digestcache.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <QtNumeric>

#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

namespace {

// A file modified this close to the start of its digest may be written again within the same
// clock tick, leaving size and time unchanged: such a digest is used but not remembered.
constexpr qint64 racyWindowNs = 2000000000;

std::string pathOf(const QString &folder, const HashJob &job)
{
    return (folder + QLatin1Char('/') + job.relativePath).toUtf8().toStdString();
}

DigestCache::Entry cacheStamp(const platform::FileStamp &stamp)
{
    DigestCache::Entry entry;
    entry.size = stamp.size;
    entry.modified = stamp.modifiedNs;
    entry.device = stamp.device;
    entry.inode = stamp.inode;
    return entry;
}

} // namespace

struct ParallelHasher::Run
{
    QString folder;
    QList<HashJob> jobs;
    std::unique_ptr<DigestCache> cache;
    std::vector<HashResult> results;
    // The digests worth remembering, by job, under the size, time and identity they belong to.
    std::mutex learntMutex;
    std::vector<std::pair<int, DigestCache::Entry>> learnt;
    // Sizes and times read ahead while the cache loads; empty when there is no cache to load.
    std::vector<std::optional<platform::FileStamp>> stamps;
    std::atomic<int> nextStamp{0};
    qint64 startedNs = 0;
    qint64 total = 0;
    std::atomic<int> next{0};
    std::atomic<qint64> done{0};
    std::atomic<bool> cancelled{false};
};

ParallelHasher::ParallelHasher(QObject *parent) : QObject(parent), progressTimer(new QTimer(this))
{
    progressTimer->setInterval(100);
    connect(progressTimer, &QTimer::timeout, this, &ParallelHasher::reportProgress);
}

ParallelHasher::~ParallelHasher()
{
    if (current)
        current->cancelled = true;
    if (coordinator.joinable())
        coordinator.join();
}

void ParallelHasher::start(const QString &folder, const QList<HashJob> &jobs,
                           const QString &cacheFile, const QString &cacheScope)
{
    if (running)
        return;
    if (coordinator.joinable())
        coordinator.join();

    auto run = std::make_shared<Run>();
    run->folder = folder;
    run->jobs = jobs;
    if (!cacheFile.isEmpty())
        run->cache = std::make_unique<DigestCache>(cacheFile, folder, cacheScope);
    run->results.resize(size_t(jobs.size()));
    run->startedNs = QDateTime::currentMSecsSinceEpoch() * 1000000;
    // A hostile manifest's sizes must not wrap the sum.
    for (const HashJob &job : jobs) {
        if (qAddOverflow(run->total, std::max<qint64>(job.size, 0), &run->total)) {
            run->total = std::numeric_limits<qint64>::max();
            break;
        }
    }

    current = run;
    running = true;
    lastReported = -1;
    lastBegun = -1;
    progressTimer->start();
    coordinator = std::thread([this, run] { runAll(run); });
}

void ParallelHasher::cancel()
{
    if (current)
        current->cancelled = true;
}

void ParallelHasher::reportProgress()
{
    if (!current)
        return;
    const qint64 done = current->done;
    const int begun = std::min<int>(current->next, int(current->jobs.size()));
    if (done == lastReported && begun == lastBegun)
        return;
    lastReported = done;
    lastBegun = begun;
    emit progress(done, current->total, begun);
}

// Runs on the coordinating thread: loads the cache, hashes with the other threads, hands the
// results to the owner's thread and stores what was learnt.
void ParallelHasher::runAll(std::shared_ptr<Run> run)
{
    const int wanted = threadCount > 0 ? threadCount : QThread::idealThreadCount();
    const int count = std::max(1, std::min(wanted, int(run->jobs.size())));

    // On a second scan the files' sizes and times are read while the cache loads: of an
    // unchanged folder, that is all the work there is.
    const bool readAhead = run->cache && QFileInfo::exists(run->cache->file());
    std::vector<std::thread> helpers;
    if (readAhead) {
        run->stamps.resize(size_t(run->jobs.size()));
        for (int i = 1; i < count; ++i)
            helpers.emplace_back([run] { readStamps(*run); });
    }
    if (run->cache && !run->cache->load() && readAhead)
        Logger::instance().log(
            Info, QStringLiteral("Digest cache %1 is damaged or outdated: every file is hashed")
                      .arg(run->cache->file()));
    if (readAhead)
        readStamps(*run);
    for (std::thread &helper : helpers)
        helper.join();
    helpers.clear();

    for (int i = 1; i < count; ++i)
        helpers.emplace_back([run] { work(*run); });
    work(*run);
    for (std::thread &helper : helpers)
        helper.join();

    // The owner gets the results at once; what was learnt is stored meanwhile, on this thread
    // (the next run and the destructor wait for it).
    const bool cancelled = run->cancelled;
    // Shared with the owner, read by both: no copy of tens of thousands of results.
    const QList<HashResult> results(std::make_move_iterator(run->results.begin()),
                                    std::make_move_iterator(run->results.end()));
    run->results.clear();
    QMetaObject::invokeMethod(
        this,
        [this, results, cancelled] {
            running = false;
            progressTimer->stop();
            reportProgress();
            current.reset();
            emit finished(results, cancelled);
        },
        Qt::QueuedConnection);

    if (cancelled || !run->cache)
        return;
    bool changed = !run->learnt.empty();
    for (const auto &[index, entry] : run->learnt)
        run->cache->insert(results.at(index).relativePath, entry);
    for (const HashResult &result : results) {
        if (result.outcome != HashResult::Hashed && run->cache->remove(result.relativePath))
            changed = true;
    }
    if (changed && !run->cache->save())
        Logger::instance().log(
            Warn, QStringLiteral("Cannot write the digest cache %1").arg(run->cache->file()));
}

// Runs on every thread while the cache loads: reads the next file's size and time until every
// file's is known or the run is cancelled.
void ParallelHasher::readStamps(Run &run)
{
    for (int index = run.nextStamp++; index < run.jobs.size() && !run.cancelled;
         index = run.nextStamp++)
        run.stamps[size_t(index)] = platform::fileStamp(pathOf(run.folder, run.jobs.at(index)));
}

// Runs on every hashing thread: takes the next job until none is left or the run is cancelled.
void ParallelHasher::work(Run &run)
{
    std::vector<std::pair<int, DigestCache::Entry>> learnt;
    for (;;) {
        const int index = run.next++;
        if (index >= run.jobs.size() || run.cancelled)
            break;
        const HashJob &job = run.jobs.at(index);
        HashResult &result = run.results[size_t(index)];
        result.relativePath = job.relativePath;
        const qint64 expected = std::max<qint64>(job.size, 0);
        const std::string path = pathOf(run.folder, job);

        // A remembered file is most likely unchanged: its size and time settle it without
        // opening it.
        // Sizes and times were read ahead exactly when there is a cache to ask.
        if (run.cache && job.trustCache && !run.stamps.empty()) {
            const std::optional<platform::FileStamp> &stamp = run.stamps[size_t(index)];
            if (stamp && (job.size < 0 || stamp->size == job.size)) {
                result.sha256 =
                    run.cache->find(job.relativePath, cacheStamp(*stamp), job.expectedSha256);
                if (!result.sha256.isEmpty()) {
                    result.outcome = HashResult::Hashed;
                    result.fromCache = true;
                    result.size = stamp->size;
                    run.done += expected;
                    continue;
                }
            }
        }

        // Any other file is opened first and examined through its handle: the digest belongs
        // to the size and time the open file has, and no second lookup of its path is needed.
        platform::InputFile file(path);
        const std::optional<platform::FileStamp> stamp = file.stamp();
        result.size = stamp ? stamp->size : -1;
        if (file.status() == platform::InputFile::Failed) {
            result.outcome = HashResult::Unreadable;
            run.done += expected;
            continue;
        }
        if (!stamp || (job.size >= 0 && stamp->size != job.size)) {
            result.outcome = stamp ? HashResult::WrongSize : HashResult::Missing;
            run.done += expected;
            continue;
        }

        qint64 counted = 0;
        const QString digest = fileSha256(file, [&run, &counted](qint64 bytes) {
            counted += bytes;
            run.done += bytes;
            return !run.cancelled;
        });
        if (run.cancelled) {
            result.outcome = HashResult::NotChecked;
            break;
        }
        run.done += expected - counted;
        if (digest.isEmpty()) {
            result.outcome = HashResult::Unreadable;
            continue;
        }
        result.outcome = HashResult::Hashed;
        result.sha256 = digest;
        // Not remembered while so fresh that a same-size write could still keep its time. A file
        // written while it was read needs no check: it no longer has the time it is stored under.
        if (stamp->modifiedNs <= run.startedNs - racyWindowNs) {
            DigestCache::Entry entry = cacheStamp(*stamp);
            entry.sha256 = digest;
            learnt.emplace_back(index, entry);
        }
    }
    std::lock_guard<std::mutex> lock(run.learntMutex);
    run.learnt.insert(run.learnt.end(), learnt.begin(), learnt.end());
}
