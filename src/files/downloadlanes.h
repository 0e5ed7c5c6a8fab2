#pragma once

#include "core/failuretext.h"

#include "files/manifest.h"
#include "net/verifiedtransfer.h"
#include "platform/platform.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QThread;
class DownloadLane;
struct DownloadBoard;

class FileServers;

// One file to fetch, and where and how.
struct DownloadJob
{
    FileEntry entry;
    TransferTarget target;
    // The servers the file may come from, when there is a choice; null: only target.url.
    std::shared_ptr<FileServers> servers;
};

// How one attempt at a file ended.
struct DownloadOutcome
{
    FileEntry entry;
    VerifiedTransfer::Outcome outcome = VerifiedTransfer::Outcome::Running;
    FailureText error;
    qint64 receivedSize = 0;
    // The part file could not even be opened: nothing was sent.
    bool notStarted = false;
    bool folderReady = true;
    // The attempt failed for its server rather than for the file (isHostFailure), and whether
    // another server was left to ask (FileServers::fail, marked as the attempt ended).
    bool hostFailure = false;
    bool serverLeft = false;
    // WriteFailed for lack of room on the disk.
    bool outOfSpace = false;
    // Size, time and identity of the file as it stood under its name the moment it landed.
    std::optional<platform::FileStamp> landed;
};

// Game-file transfers run on threads of their own ("lanes", one per core), each with its own
// connections. A lane takes the next job from the shared queue itself whenever one of its
// transfers ends, and leaves the outcome in a shared list that the owner collects when it
// pleases: thousands of small files cost no wake-up of another thread per file, which on some
// machines costs more than the file. Everything here is called on the owner's thread.
class DownloadLanes : public QObject
{
    Q_OBJECT

public:
    explicit DownloadLanes(int transferTimeoutMs, QObject *parent = nullptr);
    // Ends what runs (as cancel() does) and stops the lanes.
    ~DownloadLanes() override;

    // At most this many transfers at once, shared out among the lanes, from now on.
    void setParallelTransfers(int transfers);
    // Queues jobs behind those waiting, or one ahead of them (a retry). A job for a file that is
    // already queued or in flight is refused: two transfers into one part would corrupt it.
    // Returns how many were taken.
    int add(const QList<DownloadJob> &jobs);
    bool addFirst(const DownloadJob &job);
    // The outcomes since the last call, in the order the attempts ended.
    QList<DownloadOutcome> takeOutcomes();
    // Bytes of the files completed and of the transfers in flight since resetBytes(); a failed
    // attempt's bytes are taken out again when it ends.
    qint64 bytes() const;
    void resetBytes();
    // Drops the jobs waiting and ends the running transfers (each keeps its part for a later
    // resume); returns once they have all ended. Their outcomes are dropped.
    void cancel();
    // As cancel(), but the jobs that were waiting come back, and the outcomes of the transfers
    // (those that ended on their own meanwhile as well as the Cancelled ones) stay for
    // takeOutcomes(): what a pause needs to go on later exactly where it stopped.
    QList<DownloadJob> stop();

private:
    void ensureLanes();
    void wakeLanes();
    void endTransfers();

    int timeoutMs;
    int parallel = 1;
    std::unique_ptr<DownloadBoard> board;
    QList<QThread *> threads;
    QList<DownloadLane *> lanes;
};
