#include "core/parallelhasher.h"

#include "core/digestcache.h"
#include "core/filedigest.h"
#include "core/logger.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

// A file modified this close to the start of its digest may be written again within the same
// clock tick, leaving size and time unchanged: such a digest is used but not remembered.
constexpr qint64 racyWindowNs = 2000000000;

struct FileState
{
    bool exists = false;
    qint64 size = -1;
    qint64 modified = 0;
};

// Straight from the platform: QFileInfo's time goes through a local-time conversion that cost
// more than the stat itself, and a warm scan does nothing else per file.
FileState stateOf(const QString &path)
{
    FileState state;
    if (const auto stamp = platform::fileStamp(path.toUtf8().toStdString())) {
        state.exists = true;
        state.size = stamp->size;
        state.modified = stamp->modifiedNs;
    }
    return state;
}

} // namespace

struct ParallelHasher::Run
{
    QString folder;
    QList<HashJob> jobs;
    std::unique_ptr<DigestCache> cache;
    std::vector<HashResult> results;
    std::vector<qint64> modified;
    std::vector<char> rememberable;
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
                           const QString &cacheFile)
{
    if (running)
        return;
    if (coordinator.joinable())
        coordinator.join();

    auto run = std::make_shared<Run>();
    run->folder = folder;
    run->jobs = jobs;
    if (!cacheFile.isEmpty())
        run->cache = std::make_unique<DigestCache>(cacheFile, folder);
    run->results.resize(size_t(jobs.size()));
    run->modified.resize(size_t(jobs.size()));
    run->rememberable.resize(size_t(jobs.size()));
    run->startedNs = QDateTime::currentMSecsSinceEpoch() * 1000000;
    for (const HashJob &job : jobs)
        run->total += std::max<qint64>(job.size, 0);

    current = run;
    running = true;
    lastReported = -1;
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
    if (done == lastReported)
        return;
    lastReported = done;
    emit progress(done, current->total);
}

// Runs on the coordinating thread: loads the cache, hashes with the other threads, stores what
// was learned and hands the results to the owner's thread.
void ParallelHasher::runAll(std::shared_ptr<Run> run)
{
    if (run->cache && !run->cache->load() && QFileInfo::exists(run->cache->file()))
        Logger::instance().log(
            Info, QStringLiteral("Digest cache %1 is damaged or outdated: every file is hashed")
                      .arg(run->cache->file()));

    const int wanted = threadCount > 0 ? threadCount : QThread::idealThreadCount();
    const int count = std::max(1, std::min(wanted, int(run->jobs.size())));
    std::vector<std::thread> helpers;
    for (int i = 1; i < count; ++i)
        helpers.emplace_back([run] { work(*run); });
    work(*run);
    for (std::thread &helper : helpers)
        helper.join();

    const bool cancelled = run->cancelled;
    if (!cancelled && run->cache) {
        bool changed = false;
        for (size_t i = 0; i < run->results.size(); ++i) {
            const HashResult &result = run->results[i];
            if (result.outcome == HashResult::Hashed) {
                if (!result.fromCache && run->rememberable[i]) {
                    run->cache->insert(result.relativePath,
                                       {result.size, run->modified[i], result.sha256});
                    changed = true;
                }
            } else if (run->cache->remove(result.relativePath)) {
                changed = true;
            }
        }
        if (changed && !run->cache->save())
            Logger::instance().log(
                Warn, QStringLiteral("Cannot write the digest cache %1").arg(run->cache->file()));
    }

    const QList<HashResult> results(run->results.begin(), run->results.end());
    QMetaObject::invokeMethod(
        this,
        [this, results, cancelled] {
            if (coordinator.joinable())
                coordinator.join();
            running = false;
            progressTimer->stop();
            reportProgress();
            current.reset();
            emit finished(results, cancelled);
        },
        Qt::QueuedConnection);
}

// Runs on every hashing thread: takes the next job until none is left or the run is cancelled.
void ParallelHasher::work(Run &run)
{
    for (;;) {
        const int index = run.next++;
        if (index >= run.jobs.size() || run.cancelled)
            return;
        const HashJob &job = run.jobs.at(index);
        HashResult &result = run.results[size_t(index)];
        result.relativePath = job.relativePath;
        const qint64 expected = std::max<qint64>(job.size, 0);

        const QString path = run.folder + QLatin1Char('/') + job.relativePath;
        const FileState before = stateOf(path);
        result.size = before.size;
        if (!before.exists || before.size != job.size) {
            result.outcome = before.exists ? HashResult::WrongSize : HashResult::Missing;
            run.done += expected;
            continue;
        }
        if (run.cache) {
            result.sha256 = run.cache->find(job.relativePath, before.size, before.modified);
            if (!result.sha256.isEmpty()) {
                result.outcome = HashResult::Hashed;
                result.fromCache = true;
                run.done += expected;
                continue;
            }
        }

        qint64 counted = 0;
        const QString digest = fileSha256(path, [&run, &counted](qint64 bytes) {
            counted += bytes;
            run.done += bytes;
            return !run.cancelled;
        });
        if (run.cancelled) {
            result.outcome = HashResult::NotChecked;
            return;
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
        run.modified[size_t(index)] = before.modified;
        run.rememberable[size_t(index)] = before.modified <= run.startedNs - racyWindowNs;
    }
}
