#include "files/downloadlanes.h"

#include "core/bytesize.h"
#include "core/logger.h"
#include "files/chunkedtransfer.h"
#include "files/fileservers.h"
#include "net/httpnetwork.h"
#include "net/networkrequests.h"
#include "net/segmenteddownload.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace {
// Small files share their lane's connections, this many requests on each at once: over a link
// with a round trip of 40 ms, four files of 64 KiB keep a connection's share of 100 Mbit/s busy.
constexpr int requestsPerConnection = 4;
constexpr qint64 pipelinedBelow = 1 << 20;

} // namespace

// What the owner and the lanes share; every member but `bytes` under `mutex`.
struct DownloadBoard
{
    // Takes the job's files for it; false when another job holds one of them.
    bool claim(const TransferTarget &target)
    {
        if (files.contains(target.partPath) || files.contains(target.finalPath))
            return false;
        files.insert(target.partPath);
        if (!target.finalPath.isEmpty())
            files.insert(target.finalPath);
        return true;
    }
    void release(const TransferTarget &target)
    {
        files.remove(target.partPath);
        files.remove(target.finalPath);
    }

    std::mutex mutex;
    std::condition_variable laneEnded;
    std::deque<DownloadJob> jobs;
    QList<DownloadOutcome> outcomes;
    std::vector<int> capacity; // connections each lane may hold at once
    // Connections all lanes hold, and the most they may: a large file in ranges holds several,
    // taken from what the others leave free.
    int connectionsInUse = 0;
    int connectionsAllowed = 1;
    std::function<void()> wakeLanes; // from any thread
    std::vector<quint64> endedUpTo;  // the last cancel() each lane has carried out
    quint64 cancels = 0;
    // Part and final paths of the jobs queued or in flight.
    QSet<QString> files;
    std::atomic<qint64> bytes{0};
};

// One lane: lives on its own thread and runs its transfers there, over its own connections. The
// owner reaches it only through the board and through calls queued to the lane's thread.
class DownloadLane : public QObject
{
public:
    // Made on the owner's thread and then moved to the lane's, with its network manager.
    DownloadLane(DownloadBoard &board, int index, int timeoutMs)
        : board(board), index(index), network(new HttpNetwork(this))
    {
        network->setTransferTimeout(timeoutMs);
    }

    // Starts jobs while this lane has free capacity and the queue has jobs.
    void pump();
    // Ends every running transfer, then tells the owner which cancel it has carried out.
    void endTransfers();

private:
    struct Running
    {
        FileEntry entry;
        TransferTarget target;
        std::shared_ptr<FileServers> servers;
        qint64 reported = 0; // bytes counted in the board so far
        int chunkLines = 0;  // of chunkConnections
    };
    // A transfer is a VerifiedTransfer, or a ChunkedTransfer for a file the chunk store holds.
    struct Ended
    {
        VerifiedTransfer::Outcome outcome;
        FailureText error;
        qint64 receivedSize;
        bool hostFailure;
        bool chunkRefused;
        bool outOfSpace;
    };
    static Ended endOf(QObject *transfer);
    static void cancelTransfer(QObject *transfer);
    static bool usesChunks(const DownloadJob &job);
    int connectionsHeld() const;
    bool pipelinable(const TransferTarget &target);
    void leaveFailedServer(const FileServers *servers, int server);
    int release(const TransferTarget &target, int chunkLines);

    void start(DownloadJob job);
    void onFinished(QObject *transfer);
    void report(DownloadOutcome outcome, const TransferTarget &target, int released);

    DownloadBoard &board;
    const int index;
    HttpNetwork *network;
    QHash<QObject *, Running> running;
    // Folders made (or found) by this lane: thousands of files share a few folders.
    QSet<QString> readyFolders;
    // Small files running, and the connections they hold in the board: never more than they are.
    int pipelinedRunning = 0;
    int pipelineConnections = 0;
    // Transfers ended because their server failed on another file, before their first byte.
    QSet<QObject *> leaving;
    // Connections held by large files rebuilt from chunks: their requests ride them as small
    // files' do.
    int chunkConnections = 0;
    // Per scheme, host and port: whether the lane's own client serves it (Qt's would open
    // connections of its own for the requests that ride).
    QHash<QString, bool> ownClient;
};

DownloadLane::Ended DownloadLane::endOf(QObject *transfer)
{
    if (const auto *chunked = qobject_cast<ChunkedTransfer *>(transfer))
        return {chunked->outcome(),     chunked->failure(),      chunked->receivedSize(),
                chunked->hostFailure(), chunked->chunkRefused(), chunked->outOfSpace()};
    const auto *whole = static_cast<VerifiedTransfer *>(transfer);
    return {
        whole->outcome(),   whole->failure(), whole->receivedSize(), whole->hostFailure(), false,
        whole->outOfSpace()};
}

void DownloadLane::cancelTransfer(QObject *transfer)
{
    if (auto *chunked = qobject_cast<ChunkedTransfer *>(transfer))
        chunked->cancel();
    else
        static_cast<VerifiedTransfer *>(transfer)->cancel();
}

bool DownloadLane::usesChunks(const DownloadJob &job)
{
    return !job.entry.chunks.isEmpty() && !job.entry.chunkStore.isEmpty() && !job.entry.wholeFile;
}

int DownloadLane::connectionsHeld() const
{
    int held = pipelineConnections;
    for (const Running &transfer : running)
        held += transfer.target.pipelined ? 0 : transfer.target.connections;
    return held;
}

bool DownloadLane::pipelinable(const TransferTarget &target)
{
    if (target.size < 0 || target.size >= pipelinedBelow)
        return false;
    const QString server = target.url.scheme() + QLatin1Char(':') + target.url.authority();
    const auto known = ownClient.constFind(server);
    if (known != ownClient.constEnd())
        return *known;
    return *ownClient.insert(server, network->servesItself(makeNetworkRequest(target.url)));
}

// The connections a transfer that ended gives back to the board.
int DownloadLane::release(const TransferTarget &target, int chunkLines)
{
    if (!target.pipelined) {
        if (chunkLines > 0) {
            chunkConnections -= chunkLines;
            network->setPipelining(pipelineConnections + chunkConnections, requestsPerConnection);
        }
        return target.connections;
    }
    --pipelinedRunning;
    if (pipelinedRunning >= pipelineConnections)
        return 0;
    --pipelineConnections;
    network->setPipelining(pipelineConnections + chunkConnections, requestsPerConnection);
    return 1;
}

void DownloadLane::pump()
{
    for (;;) {
        DownloadJob job;
        {
            std::lock_guard<std::mutex> lock(board.mutex);
            if (board.jobs.empty())
                return;
            const bool room = connectionsHeld() < board.capacity[size_t(index)] &&
                              board.connectionsInUse < board.connectionsAllowed;
            // A server that failed since the job was queued is passed over, before the server
            // decides how the job travels.
            DownloadJob &next = board.jobs.front();
            if (next.servers)
                next.servers->route(next.entry, next.target);
            const bool small = pipelinable(next.target);
            // Once every connection is taken, a small file rides on one this lane's small files
            // hold, while they have room.
            const bool rides = small && board.connectionsInUse >= board.connectionsAllowed &&
                               pipelinedRunning < pipelineConnections * requestsPerConnection;
            if (!room && !rides)
                return;
            job = std::move(board.jobs.front());
            board.jobs.pop_front();
            if (small) {
                job.target.pipelined = true;
                ++pipelinedRunning;
                if (room) {
                    ++pipelineConnections;
                    ++board.connectionsInUse;
                }
            } else {
                // A large file from chunks asks for as many connections as a large file in
                // ranges: its chunk requests spread over them.
                job.target.connections =
                    std::min(SegmentedDownload::connectionsWanted(job.target),
                             board.connectionsAllowed - board.connectionsInUse);
                board.connectionsInUse += job.target.connections;
            }
        }
        if (job.target.pipelined)
            network->setPipelining(pipelineConnections + chunkConnections, requestsPerConnection);
        // A file that cannot even be written is given up at once and the next one taken.
        start(std::move(job));
    }
}

void DownloadLane::start(DownloadJob job)
{
    const QString folder = QFileInfo(job.target.finalPath).absolutePath();
    const bool known = readyFolders.contains(folder);
    bool folderReady = known || QDir().mkpath(folder);
    if (folderReady)
        readyFolders.insert(folder);
    Logger::instance().log(
        Info, QStringLiteral("Downloading: %1 (%2 KB)")
                  .arg(job.entry.path, bytesIn(job.entry.size, ByteUnit::Kilobytes, 2)));

    QObject *transfer = nullptr;
    int chunkLines = 0;
    const auto counted = [this](QObject *from, qint64 received) {
        const auto it = running.find(from);
        if (it == running.end())
            return;
        board.bytes += received - it->reported;
        it->reported = received;
    };
    ChunkedTransfer *chunked = nullptr;
    VerifiedTransfer *whole = nullptr;
    if (usesChunks(job)) {
        // Its chunk requests ride the connections it holds (a small file: those of the lane's
        // small files), requestsPerConnection on each, where the lane's own client serves the
        // store; one on each otherwise.
        const bool own = network->servesItself(makeNetworkRequest(QUrl(job.entry.chunkStore)));
        const int held = std::max(1, job.target.connections);
        if (own && !job.target.pipelined) {
            chunkLines = held;
            chunkConnections += held;
            network->setPipelining(pipelineConnections + chunkConnections, requestsPerConnection);
        }
        chunked = new ChunkedTransfer(network, job.entry, job.target,
                                      own ? held * requestsPerConnection : held, this);
        chunked->setRequestsPipelined(own);
        transfer = chunked;
        connect(chunked, &ChunkedTransfer::progress, this,
                [counted, chunked](qint64 received) { counted(chunked, received); });
        connect(chunked, &ChunkedTransfer::finished, this,
                [this, chunked] { onFinished(chunked); });
    } else {
        whole = new VerifiedTransfer(network, job.target, this);
        transfer = whole;
        connect(whole, &VerifiedTransfer::progress, this,
                [counted, whole](qint64 received) { counted(whole, received); });
        connect(whole, &VerifiedTransfer::finished, this, [this, whole] { onFinished(whole); });
    }
    running.insert(transfer, Running{job.entry, job.target, job.servers, 0, chunkLines});
    const auto startIt = [&] { return chunked ? chunked->start() : whole->start(); };
    if (startIt())
        return;
    // The player may have deleted the folder since (advice to force a download): made again.
    if (known) {
        readyFolders.remove(folder);
        folderReady = QDir().mkpath(folder);
        if (folderReady) {
            readyFolders.insert(folder);
            if (startIt())
                return;
        }
    }

    running.remove(transfer);
    DownloadOutcome outcome;
    outcome.entry = job.entry;
    outcome.error = endOf(transfer).error;
    outcome.notStarted = true;
    outcome.folderReady = folderReady;
    delete transfer;
    report(std::move(outcome), job.target, release(job.target, chunkLines));
}

void DownloadLane::onFinished(QObject *transfer)
{
    transfer->deleteLater();
    const Running done = running.take(transfer);
    const Ended ended = endOf(transfer);
    // A failed attempt's bytes come out of the count again (a part kept for the next attempt
    // comes back in when it resumes), so progress never runs past the total.
    if (ended.outcome != VerifiedTransfer::Outcome::Completed)
        board.bytes -= done.reported;
    DownloadOutcome outcome;
    outcome.entry = done.entry;
    outcome.outcome = ended.outcome;
    outcome.error = ended.error;
    outcome.receivedSize = ended.receivedSize;
    outcome.hostFailure = ended.hostFailure;
    outcome.outOfSpace = ended.outOfSpace;
    // A store that gave wrong bytes is not asked for this file again: its retry comes whole.
    if (ended.chunkRefused)
        outcome.entry.wholeFile = true;
    // Taken here, on the lane, right after the rename: the file is the one just checked.
    if (outcome.outcome == VerifiedTransfer::Outcome::Completed) {
        const QString &path =
            done.target.finalPath.isEmpty() ? done.target.partPath : done.target.finalPath;
        outcome.landed = platform::fileStamp(path.toUtf8().toStdString());
    }
    if (leaving.remove(transfer)) {
        outcome.outcome = VerifiedTransfer::Outcome::NetworkError;
        outcome.error = FailureText("DownloadBatch", "its server failed on another file");
        outcome.hostFailure = true;
        outcome.serverLeft = true;
        report(std::move(outcome), done.target, release(done.target, done.chunkLines));
        return;
    }
    // Marked here, before this lane takes its next file, so that file already goes elsewhere.
    if (outcome.hostFailure && done.servers)
        outcome.serverLeft = done.servers->fail(done.entry.server);
    const bool leave = outcome.hostFailure && outcome.serverLeft;
    report(std::move(outcome), done.target, release(done.target, done.chunkLines));
    if (leave)
        leaveFailedServer(done.servers.get(), done.entry.server);
    pump();
}

// Files waiting behind others on a server that has just failed would each wait for a failure of
// their own (a stalled server costs the whole low-speed window, file after file): those that have
// not had a byte yet end now and go to the next server at once, as the failed one did.
void DownloadLane::leaveFailedServer(const FileServers *servers, int server)
{
    QList<QObject *> waiting;
    for (auto it = running.cbegin(); it != running.cend(); ++it) {
        if (it->servers.get() == servers && it->entry.server == server && it->reported == 0)
            waiting.append(it.key());
    }
    for (QObject *transfer : qAsConst(waiting)) {
        leaving.insert(transfer);
        // Ends at once, through onFinished.
        cancelTransfer(transfer);
    }
}

void DownloadLane::report(DownloadOutcome outcome, const TransferTarget &target, int released)
{
    {
        std::lock_guard<std::mutex> lock(board.mutex);
        board.release(target);
        board.connectionsInUse -= released;
        board.outcomes.append(std::move(outcome));
    }
    // Connections beyond this lane's share were taken from the others, which may wait for them.
    if (released > 1)
        board.wakeLanes();
}

void DownloadLane::endTransfers()
{
    // Each ends at once, inside cancel(), and finds the queue empty.
    const QList<QObject *> transfers = running.keys();
    for (QObject *transfer : transfers)
        cancelTransfer(transfer);
    std::lock_guard<std::mutex> lock(board.mutex);
    board.endedUpTo[size_t(index)] = board.cancels;
    board.laneEnded.notify_all();
}

DownloadLanes::DownloadLanes(int transferTimeoutMs, QObject *parent)
    : QObject(parent), timeoutMs(transferTimeoutMs), board(std::make_unique<DownloadBoard>())
{}

DownloadLanes::~DownloadLanes()
{
    cancel();
    for (QThread *thread : qAsConst(threads)) {
        thread->quit();
        thread->wait();
    }
}

// The threads start with the first batch: a launcher that finds its files in place needs none.
void DownloadLanes::ensureLanes()
{
    if (!lanes.isEmpty())
        return;
    const int count = std::clamp(QThread::idealThreadCount(), 1, 8);
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        board->capacity.assign(size_t(count), 0);
        board->endedUpTo.assign(size_t(count), board->cancels);
        board->wakeLanes = [this] { wakeLanes(); };
    }
    for (int i = 0; i < count; ++i) {
        auto *thread = new QThread(this);
        thread->setObjectName(QStringLiteral("Download lane %1").arg(i + 1));
        auto *lane = new DownloadLane(*board, i, timeoutMs);
        lane->moveToThread(thread);
        // Deleted on its own thread, with its connections, once the thread's loop has ended.
        connect(thread, &QThread::finished, lane, &QObject::deleteLater);
        thread->start();
        threads.append(thread);
        lanes.append(lane);
    }
    setParallelTransfers(parallel);
}

void DownloadLanes::setParallelTransfers(int transfers)
{
    parallel = qMax(1, transfers);
    if (lanes.isEmpty())
        return;
    const int count = int(lanes.size());
    std::lock_guard<std::mutex> lock(board->mutex);
    board->connectionsAllowed = parallel;
    for (int i = 0; i < count; ++i)
        board->capacity[size_t(i)] = parallel / count + (i < parallel % count ? 1 : 0);
}

int DownloadLanes::add(const QList<DownloadJob> &jobs)
{
    ensureLanes();
    int taken = 0;
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        for (const DownloadJob &job : jobs) {
            if (!board->claim(job.target))
                continue;
            board->jobs.push_back(job);
            ++taken;
        }
    }
    wakeLanes();
    return taken;
}

bool DownloadLanes::addFirst(const DownloadJob &job)
{
    ensureLanes();
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        if (!board->claim(job.target))
            return false;
        board->jobs.push_front(job);
    }
    wakeLanes();
    return true;
}

void DownloadLanes::wakeLanes()
{
    for (DownloadLane *lane : qAsConst(lanes))
        QMetaObject::invokeMethod(
            lane, [lane] { lane->pump(); }, Qt::QueuedConnection);
}

QList<DownloadOutcome> DownloadLanes::takeOutcomes()
{
    std::lock_guard<std::mutex> lock(board->mutex);
    return std::exchange(board->outcomes, {});
}

qint64 DownloadLanes::bytes() const
{
    return board->bytes.load();
}

void DownloadLanes::resetBytes()
{
    board->bytes = 0;
}

void DownloadLanes::cancel()
{
    if (lanes.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        board->jobs.clear();
    }
    endTransfers();
    std::lock_guard<std::mutex> lock(board->mutex);
    board->outcomes.clear();
    board->files.clear();
}

QList<DownloadJob> DownloadLanes::stop()
{
    QList<DownloadJob> waiting;
    if (lanes.isEmpty())
        return waiting;
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        for (DownloadJob &job : board->jobs) {
            board->release(job.target);
            waiting.append(std::move(job));
        }
        board->jobs.clear();
    }
    endTransfers();
    return waiting;
}

// Ends every running transfer and returns once each lane has.
void DownloadLanes::endTransfers()
{
    quint64 cancel = 0;
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        cancel = ++board->cancels;
    }
    for (DownloadLane *lane : qAsConst(lanes))
        QMetaObject::invokeMethod(
            lane, [lane] { lane->endTransfers(); }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(board->mutex);
    board->laneEnded.wait(lock, [this, cancel] {
        return std::all_of(board->endedUpTo.begin(), board->endedUpTo.end(),
                           [cancel](quint64 ended) { return ended >= cancel; });
    });
}
