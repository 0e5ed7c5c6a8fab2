#pragma once

#include "core/failuretext.h"

#include "net/digestingwriter.h"
#include "net/verifiedtransfer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// A large file fetched as several byte ranges at once, each over a connection of its own and
// written at its own offset in the part file (made as long as the file first). Where one
// connection runs at a fraction of the line (a host or a path that paces each connection), the
// ranges together fill it. The first range goes out alone: only once the server has answered it
// with exactly that range do the others follow, and a server that sends the whole file instead
// leaves the transfer to one stream. Each range's progress is kept beside the part (partPath +
// ".segments", with the server's validator) about once a second and when an attempt breaks, so
// the next attempt, or the next run, asks each range only for what it still lacks. Once every
// range is in, the part is read back from disk in one sequential pass into the SHA-256 that is
// checked: a digest of ranges arriving out of order cannot be computed on the way, and the pass
// is the one a single stream makes anyway to catch a part changed under it.
class SegmentedDownload : public QObject
{
    Q_OBJECT

public:
    enum class End
    {
        Running,
        Done,          // every range in and the part read back
        RangesIgnored, // the server sent the whole file to a range request: nothing kept
        Failed,
        WriteFailed,
        Cancelled
    };

    // The ranges run over at most `connections` connections at once.
    SegmentedDownload(QNetworkAccessManager *network, const TransferTarget &target, int connections,
                      QObject *parent = nullptr);
    ~SegmentedDownload() override;

    // Whether a transfer of `target` over `connections` connections comes in ranges.
    static bool suits(const TransferTarget &target, int connections);
    // How many connections a transfer of `target` can put to use.
    static int connectionsWanted(const TransferTarget &target);
    static constexpr int maxConnections = 16;
    // Opens the part (continuing the ranges kept beside it) and sends the first requests. False
    // when the part cannot be opened or sized: nothing is sent and finished() does not follow.
    bool start();
    // Ends every range and the read-back; what arrived stays for the next attempt. No finished().
    void cancel();

    End end() const { return ended; }
    QString errorString() const { return error.logged(); }
    const FailureText &failure() const { return error; }
    // Failed for its host rather than for the file (isHostFailure).
    bool hostFailure() const { return hostFailed; }
    // Failed to write for lack of room on the disk (End::WriteFailed).
    bool outOfSpace() const { return noRoom; }
    // The part read back: its size and digest (valid with End::Done).
    DigestingWriter::Result result() const { return outcome; }
    qint64 received() const;
    qint64 totalSize() const { return total; }
    // Keeps the part and its ranges for the next attempt when they are worth continuing; drops
    // both otherwise.
    bool keepOrDrop(bool keep);

signals:
    void progress(qint64 received, qint64 total);
    void finished();

private:
    struct Segment
    {
        qint64 from = 0; // first byte
        qint64 to = 0;   // last byte
        qint64 next = 0; // first byte still missing
        QPointer<QNetworkReply> reply;
        bool accepted = false;
        std::unique_ptr<QFile> file;
        // What its ended reply still held when the speed limit was spent.
        QByteArray tail;
        bool busy() const { return !reply.isNull() || !tail.isEmpty(); }
    };

    QString statePath() const;
    bool loadState();
    void saveState();
    void splitRest(qint64 from, int pieces);
    void launchMore();
    void send(int index);
    bool accept(int index);
    void onReadyRead(int index);
    qint64 allowance(qint64 wanted, QNetworkReply *reply);
    void onPaceTimer();
    bool write(int index, const QByteArray &chunk);
    void drain(int index);
    void onFinished(int index);
    void segmentDone(int index);
    void fail(const FailureText &reason, End how = End::Failed);
    void restartFresh(const QString &reason);
    void stopAll();
    void keepWhatArrived();
    void readBack();
    void finish(End how);

    QNetworkAccessManager *network;
    TransferTarget target;
    int connections;
    qint64 total; // the file's length
    QByteArray validator;
    bool probing = false; // the first range is out alone, to learn whether ranges are honoured
    bool restarted = false;
    std::vector<Segment> segments;
    QElapsedTimer sinceSaved;
    QTimer *paceTimer;
    End ended = End::Running;
    FailureText error;
    bool hostFailed = false;
    bool noRoom = false;
    DigestingWriter::Result outcome;
    std::thread hasher;
    std::atomic<bool> abandoned{false};
};
