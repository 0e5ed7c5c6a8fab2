#pragma once

#include "core/failuretext.h"
#include "files/manifest.h"
#include "net/verifiedtransfer.h"

#include <QFile>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QThread;
class QTimer;

// One game file rebuilt in its part file from the chunk store: the chunks the part already holds
// (an earlier attempt's) and those found in the file's old copy (cut the same way) are kept or
// copied, only the rest is fetched, several requests at once, each checked against its size and
// digest before it is written in place. The whole file's SHA-256 is checked before it takes its
// name, as for a transfer of the whole file. A store that cannot give a chunk (a 4xx answer)
// makes it fetch the whole file instead. Reports as a VerifiedTransfer does; one attempt each.
class ChunkedTransfer : public QObject
{
    Q_OBJECT

public:
    // `requests`: chunk requests in flight at once.
    ChunkedTransfer(QNetworkAccessManager *network, const FileEntry &entry,
                    const TransferTarget &target, int requests, QObject *parent = nullptr);
    ~ChunkedTransfer() override;

    // Chunk requests may wait behind each other on the network's connections (HttpNetwork
    // pipelining); by default they do when the target is pipelined.
    void setRequestsPipelined(bool pipelined) { pipelinedRequests = pipelined; }

    // False when the part file cannot be opened: nothing is sent and finished() does not follow.
    bool start();
    // Ends the attempt; finished() follows at once with Cancelled. The part stays, with every
    // chunk already in place.
    void cancel();

    VerifiedTransfer::Outcome outcome() const { return result; }
    const FailureText &failure() const { return error; }
    qint64 receivedSize() const { return fileSize; }
    bool hostFailure() const { return hostFailed; }
    // The part's disk is full: retrying will not help until the player makes room.
    bool outOfSpace() const { return noRoom; }
    // A chunk was refused (wrong digest, larger than declared, not a frame of its size).
    bool chunkRefused() const { return refusedChunk; }
    // Stored bytes of the chunks that came over the network in this attempt.
    qint64 fetchedBytes() const { return fetched; }
    // Chunks that were found in the part or the old copy, and those fetched.
    int chunksFound() const { return found; }
    int chunksFetched() const { return fetchedChunks; }

signals:
    // Stored bytes of the chunks in place so far, of all the file's distinct chunks' stored bytes.
    void progress(qint64 received, qint64 total);
    void finished();

private:
    struct Local;
    struct Request
    {
        QByteArray sha256;
        QByteArray body;
        qint64 owed = 0; // bytes not yet granted by the speed limit
    };
    void runLocally(const std::function<void(Local &)> &work);
    void onLocalDone();
    void fetchMore();
    bool take(Request &request, const QByteArray &bytes);
    void onChunkReadyRead(QNetworkReply *reply);
    void onChunkFinished(QNetworkReply *reply);
    void payArrived();
    void onPaceTimer();
    bool completeChunk(const Request &done);
    bool place(const QByteArray &sha256, const QByteArray &bytes);
    void checkWhole();
    void onWholeChecked();
    void fallBack(const QString &reason);
    void refuse(const QByteArray &sha256, const QString &reason);
    void failWith(VerifiedTransfer::Outcome outcome, const FailureText &text);
    void abortRequests();
    void end(VerifiedTransfer::Outcome outcome);
    void emitProgress();

    QNetworkAccessManager *network;
    FileEntry entry;
    TransferTarget target;
    const int requestLimit;
    // Every chunk's offset in the file, and the offsets and stored size of each distinct one.
    std::vector<qint64> offsets;
    struct Distinct
    {
        std::vector<int> chunks; // indices into entry.chunks
        qint64 stored = 0;
        qint64 size = 0;
    };
    QHash<QByteArray, Distinct> distinct;
    qint64 totalStored = 0;
    qint64 inPlace = 0;
    std::unique_ptr<Local> local;
    QThread *worker = nullptr;
    QFile part;
    std::deque<QByteArray> toFetch;
    QHash<QNetworkReply *, Request> requests;
    std::deque<Request> arrived; // answered in full, in the order they ended
    QTimer *paceTimer = nullptr;
    QPointer<VerifiedTransfer> whole; // the fallback, when the store fails
    bool pipelinedRequests = false;
    bool cancelled = false;
    bool checking = false; // the worker reads the finished part back
    bool refusedChunk = false;
    bool hostFailed = false;
    bool noRoom = false;
    VerifiedTransfer::Outcome result = VerifiedTransfer::Outcome::Running;
    FailureText error;
    qint64 fileSize = 0;
    qint64 fetched = 0;
    int found = 0;
    int fetchedChunks = 0;
};
