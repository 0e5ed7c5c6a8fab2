#include "files/parallelhasher.h"

#include "core/filedigest.h"
#include "core/logger.h"
#include "files/digestcache.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringEncoder>
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

// The UTF-8 path of one file below the folder, in one buffer that a thread reuses for every file:
// a pass over tens of thousands of files allocates nothing per file.
class FilePath
{
public:
    explicit FilePath(const QString &folder)
        : buffer((folder + QLatin1Char('/')).toStdString()), folderLength(buffer.size())
    {}
    // Valid until the next call.
    const std::string &of(const QString &relativePath)
    {
        buffer.resize(folderLength + size_t(encoder.requiredSpace(relativePath.size())));
        const char *end = encoder.appendToBuffer(buffer.data() + folderLength, relativePath);
        buffer.resize(size_t(end - buffer.data()));
        return buffer;
    }
    // The last path below the folder, as the digest cache knows it.
    QByteArrayView relative() const
    {
        return QByteArrayView(buffer.data() + folderLength,
                              qsizetype(buffer.size() - folderLength));
    }

private:
    // Stateless: a stray surrogate at the end of one path must not reach into the next.
    QStringEncoder encoder{QStringEncoder::Utf8, QStringConverter::Flag::Stateless};
    std::string buffer;
    size_t folderLength;
};

// Files taken per claim of the read-ahead, and at most per claim of the main pass: a few dozen
// files per claim spare two threads a fight over one counter for every file.
constexpr int readAheadBatch = 64;
constexpr int batchFiles = 64;
// A batch of the main pass ends once its files hold this much, so that large files, which are
// read unless remembered, are shared out one by one and the threads stay evenly loaded.
constexpr qint64 batchBytes = 1024 * 1024;

// What the read-ahead found for one file. Plain data: the array for every file costs nothing
// where the read-ahead never gets, since fresh memory costs only once touched.
struct ReadAhead
{
    bool found;
    std::int64_t size;
    std::int64_t modifiedNs;
    std::uint64_t device;
    std::uint64_t inode;
};

// Stores the cache in the order of these files, where the next run over them looks first.
void store(const DigestCache &cache, const QList<FileEntry> &files)
{
    QStringList order;
    order.reserve(files.size());
    for (const FileEntry &file : files)
        order.append(file.path);
    if (!cache.save(order))
        Logger::instance().log(
            Warn, QStringLiteral("Cannot write the digest cache %1").arg(cache.file()));
}

} // namespace

struct ParallelHasher::Run
{
    QString folder;
    QList<FileEntry> files;
    // Read even when the cache remembers them; none are, when the cache is not trusted at all.
    QSet<QString> readAgain;
    bool trustCache = true;
    std::unique_ptr<DigestCache> cache;
    // One per file, written in place by the threads, then shared with the owner as it is.
    QList<HashResult> results;
    // The digests worth remembering, by file, under the size, time and identity they belong to.
    std::mutex learntMutex;
    std::vector<std::pair<int, DigestCache::Entry>> learnt;
    // Whether remembered digests are asked for at all: the cache is trusted and has loaded.
    bool askCache = false;
    // Sizes and times read while the cache loads, for the files before `readAheadEnd` (known
    // once the read-ahead has stopped).
    std::unique_ptr<ReadAhead[]> readAhead;
    std::atomic<int> nextReadAhead{0};
    std::atomic<bool> cacheLoaded{false};
    int readAheadEnd = 0;
    // The first file of each batch of the main pass, then the number of files.
    std::vector<int> batchStarts;
    std::atomic<int> nextBatch{0};
    qint64 startedNs = 0;
    qint64 total = 0;
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

void ParallelHasher::start(const QString &folder, const QList<FileEntry> &files,
                           const QString &cacheFile, const QSet<QString> &readAgain,
                           const QString &cacheScope)
{
    if (running)
        return;
    if (coordinator.joinable())
        coordinator.join();

    auto run = std::make_shared<Run>();
    run->folder = folder;
    run->files = files;
    run->readAgain = readAgain;
    run->trustCache = trustCache;
    if (!cacheFile.isEmpty())
        run->cache = std::make_unique<DigestCache>(cacheFile, folder, cacheScope);
    run->startedNs = QDateTime::currentMSecsSinceEpoch() * 1000000;
    qint64 inBatch = 0;
    for (int index = 0; index < files.size(); ++index) {
        const qint64 size = std::max<qint64>(files.at(index).size, 0);
        if (index == 0 || index - run->batchStarts.back() == batchFiles || inBatch >= batchBytes) {
            run->batchStarts.push_back(index);
            inBatch = 0;
        }
        inBatch = std::min(inBatch + size, batchBytes);
        // A hostile manifest's sizes must not wrap the sum.
        if (qAddOverflow(run->total, size, &run->total))
            run->total = std::numeric_limits<qint64>::max();
    }
    run->batchStarts.push_back(int(files.size()));

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
    const int batches = int(current->batchStarts.size()) - 1;
    const int begun = current->batchStarts[size_t(std::min<int>(current->nextBatch, batches))];
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
    const int count = std::max(1, std::min(wanted, int(run->files.size())));

    const bool cacheThere = run->cache && QFileInfo::exists(run->cache->file());
    // On a second pass the other threads read the files' sizes and times while this one loads
    // the cache: of an unchanged folder, that is all the work there is.
    const bool readingAhead = cacheThere && run->trustCache && count > 1;
    std::vector<std::thread> helpers;
    if (readingAhead) {
        run->readAhead.reset(new ReadAhead[size_t(run->files.size())]);
        for (int i = 1; i < count; ++i)
            helpers.emplace_back([run] { readStamps(*run); });
    }
    // Made here rather than on the owner's thread: touching fresh memory is dear, and here it
    // overlaps the first stats.
    run->results.resize(run->files.size());
    if (run->cache) {
        const bool loaded = run->cache->load();
        if (!loaded && cacheThere)
            Logger::instance().log(
                Info, QStringLiteral("Digest cache %1 is damaged or outdated: every file is hashed")
                          .arg(run->cache->file()));
        run->askCache = loaded && run->trustCache;
    }
    run->cacheLoaded = true;
    for (std::thread &helper : helpers)
        helper.join();
    helpers.clear();
    // Every read-ahead claim before the stop was carried out whole.
    run->readAheadEnd =
        readingAhead ? std::min<int>(run->nextReadAhead, int(run->files.size())) : 0;

    for (int i = 1; i < count; ++i)
        helpers.emplace_back([run] { work(*run); });
    work(*run);
    for (std::thread &helper : helpers)
        helper.join();

    // The owner gets the results at once; what was learnt is stored meanwhile, on this thread
    // (the next run and the destructor wait for it).
    const bool cancelled = run->cancelled;
    // Shared with the owner, read by both: no copy of tens of thousands of results.
    const QList<HashResult> results = std::exchange(run->results, {});
    QMetaObject::invokeMethod(
        this,
        [this, results, cancelled] {
            running = false;
            progressTimer->stop();
            reportProgress();
            // Freed once the owner has its results, should the last hold on the run be here.
            const std::shared_ptr<Run> finishedRun = std::exchange(current, {});
            emit finished(results, cancelled);
        },
        Qt::QueuedConnection);

    if (cancelled || !run->cache)
        return;
    bool changed = !run->learnt.empty();
    for (const auto &[index, entry] : run->learnt)
        run->cache->insert(run->files.at(index).path, entry);
    for (qsizetype i = 0; i < results.size(); ++i) {
        if (results.at(i).outcome != HashResult::Hashed &&
            run->cache->remove(run->files.at(i).path))
            changed = true;
    }
    if (changed || run->cache->outOfOrder())
        store(*run->cache, run->files);
}

void ParallelHasher::remember(const QString &folder, const QList<FileEntry> &files,
                              const QString &cacheFile,
                              const QList<std::pair<QString, DigestCache::Entry>> &records)
{
    if (running || records.isEmpty())
        return;
    if (coordinator.joinable())
        coordinator.join();
    coordinator = std::thread([folder, files, cacheFile, records] {
        DigestCache cache(cacheFile, folder);
        cache.load();
        for (const auto &[path, record] : records)
            cache.insert(path, record);
        store(cache, files);
    });
}

// Runs on the other threads while the cache loads: reads the sizes and times of the next files
// until the cache is there, every file's is known, or the run is cancelled.
void ParallelHasher::readStamps(Run &run)
{
    FilePath path(run.folder);
    const int count = int(run.files.size());
    while (!run.cacheLoaded && !run.cancelled) {
        const int first = run.nextReadAhead.fetch_add(readAheadBatch);
        if (first >= count)
            break;
        for (int index = first; index < std::min(first + readAheadBatch, count); ++index) {
            const std::optional<platform::FileStamp> stamp =
                platform::fileStamp(path.of(run.files.at(index).path));
            run.readAhead[size_t(index)] =
                stamp ? ReadAhead{true, stamp->size, stamp->modifiedNs, stamp->device, stamp->inode}
                      : ReadAhead{false, 0, 0, 0, 0};
        }
    }
}

// Runs on every hashing thread: takes the next batch of files until none is left or the run is
// cancelled.
void ParallelHasher::work(Run &run)
{
    std::vector<std::pair<int, DigestCache::Entry>> learnt;
    FilePath path(run.folder);
    // Not shared while the threads run, so every thread writes straight into it.
    HashResult *const results = run.results.data();

    // Settles one file and returns the bytes of it not yet counted as done.
    auto check = [&](int index) -> qint64 {
        const FileEntry &file = run.files.at(index);
        HashResult &result = results[index];
        const qint64 expected = std::max<qint64>(file.size, 0);
        const std::string &fullPath = path.of(file.path);

        // A remembered file is most likely unchanged: its size and time settle it without
        // opening it.
        if (run.askCache && (run.readAgain.isEmpty() || !run.readAgain.contains(file.path))) {
            std::optional<platform::FileStamp> stamp;
            if (index >= run.readAheadEnd)
                stamp = platform::fileStamp(fullPath);
            else if (const ReadAhead &read = run.readAhead[size_t(index)]; read.found)
                stamp = platform::FileStamp{read.size, read.modifiedNs, read.device, read.inode};
            if (stamp && (file.size < 0 || stamp->size == file.size)) {
                // A remembered digest equal to the manifest's comes back as the manifest's own
                // string: a folder checked before costs no new string per file.
                result.sha256 = run.cache->find(index, path.relative(),
                                                DigestCache::Entry::of(*stamp), file.sha256);
                if (!result.sha256.isEmpty()) {
                    result.outcome = HashResult::Hashed;
                    result.fromCache = true;
                    result.size = stamp->size;
                    return expected;
                }
            }
        }

        // Any other file is opened first and examined through its handle: the digest belongs
        // to the size and time the open file has, and no second lookup of its path is needed.
        platform::InputFile input(fullPath);
        const std::optional<platform::FileStamp> stamp = input.stamp();
        result.size = stamp ? stamp->size : -1;
        if (input.status() == platform::InputFile::Failed) {
            result.outcome = HashResult::Unreadable;
            return expected;
        }
        if (!stamp || (file.size >= 0 && stamp->size != file.size)) {
            result.outcome = stamp ? HashResult::WrongSize : HashResult::Missing;
            return expected;
        }

        qint64 counted = 0;
        const QString digest = fileSha256(input, [&run, &counted](qint64 bytes) {
            counted += bytes;
            run.done += bytes;
            return !run.cancelled;
        });
        if (run.cancelled) {
            result.outcome = HashResult::NotChecked;
            return 0;
        }
        if (digest.isEmpty()) {
            result.outcome = HashResult::Unreadable;
            return expected - counted;
        }
        result.outcome = HashResult::Hashed;
        result.sha256 = digest;
        // Not remembered while so fresh that a same-size write could still keep its time. A file
        // written while it was read needs no check: it no longer has the time it is stored under.
        if (stamp->modifiedNs <= run.startedNs - racyWindowNs) {
            learnt.emplace_back(index, DigestCache::Entry::of(*stamp, digest));
        }
        return expected - counted;
    };

    const int batches = int(run.batchStarts.size()) - 1;
    for (int batch = run.nextBatch++; batch < batches && !run.cancelled; batch = run.nextBatch++) {
        qint64 done = 0;
        for (int index = run.batchStarts[size_t(batch)];
             index < run.batchStarts[size_t(batch) + 1] && !run.cancelled; ++index)
            done += check(index);
        run.done += done;
    }
    std::lock_guard<std::mutex> lock(run.learntMutex);
    run.learnt.insert(run.learnt.end(), learnt.begin(), learnt.end());
}
