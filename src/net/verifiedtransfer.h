#pragma once

#include "core/failuretext.h"

#include "net/digestingwriter.h"
#include "net/lowspeedguard.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class SegmentedDownload;
class SpeedLimit;
class QFile;
class QNetworkAccessManager;
class QTimer;

// What one transfer fetches, where it puts it and what it must be.
struct TransferTarget
{
    QUrl url;
    QString name;      // how log lines name it (a game file's relative path, say); empty: the URL
    QString partPath;  // where the bytes land while they arrive
    QString finalPath; // the name the file takes once checked; empty: it stays at partPath
    qint64 size = -1;  // expected size in bytes; negative: not checked
    QString sha256;    // expected lower-case hex digest, compared as text
    bool verifyDigest = true; // false: any digest will do
    QByteArray userAgent;     // empty: Qt's own
    int timeoutMs = 0;        // transfer time-out; 0: the network manager's
    // Too slow over this long ends the attempt (LowSpeedGuard); 0: no such rule.
    int lowSpeedWindowMs = LowSpeedGuard::defaultWindowMs;
    // Kept after a broken attempt and continued with a range request by the next one (and the
    // next run): the server's validator is kept beside it in partPath + ".validator".
    bool resumable = false;
    // Connections this transfer may open to its server at once: with more than one, a large file
    // comes in ranges side by side (SegmentedDownload).
    int connections = 1;
    // Shared with the other transfers it is counted with; null: as fast as the network goes.
    std::shared_ptr<SpeedLimit> speedLimit;
    // A small file: its request may wait behind others on a connection (HttpNetwork pipelining).
    bool pipelined = false;
};

// One download checked on the way: the body streams into the part file while a thread of its own
// writes and hashes it, the size and SHA-256 are checked before the file takes its final name, a
// failed write ends the attempt at once, and a resumable transfer continues where an earlier one
// broke off. Retries are the caller's: each object makes one attempt and then reports finished().
class VerifiedTransfer : public QObject
{
    Q_OBJECT

public:
    enum class Outcome
    {
        Running,
        Completed,
        NetworkError,
        WriteFailed,
        Mismatch,
        RenameFailed,
        Cancelled
    };

    VerifiedTransfer(QNetworkAccessManager *network, const TransferTarget &target,
                     QObject *parent = nullptr);
    ~VerifiedTransfer() override;

    // Opens the part file and sends the request. False when the part file cannot be opened:
    // nothing is sent and finished() does not follow.
    bool start();
    // Ends the attempt; finished() follows at once with Cancelled. A resumable part stays.
    void cancel();

    const TransferTarget &target() const { return destination; }
    Outcome outcome() const { return result; }
    // Readable reason of a failed attempt: the network's error text, or what went wrong; in
    // English for the log, and for the player in their language.
    QString errorString() const { return error.logged(); }
    const FailureText &failure() const { return error; }
    qint64 receivedSize() const { return fileSize; }
    // A network error of the host rather than of the file (isHostFailure).
    bool hostFailure() const { return hostFailed; }
    QString receivedSha256() const { return fileDigest; }
    // WriteFailed for lack of room on the disk: the part stays, and trying again before room is
    // made would fail the same way.
    bool outOfSpace() const { return noRoom; }

    // What every download reply may hold in memory: without a bound Qt's network thread buffers
    // a whole body however fast it is drained.
    static constexpr qint64 readBufferSize = 2 * 1024 * 1024;

signals:
    // Bytes of the file so far (those already on disk from an earlier attempt included), and the
    // whole file's size when the server gives a length (otherwise the server's own value).
    void progress(qint64 received, qint64 total);
    void finished();

private:
    bool startStream();
    void onSegmentsFinished();
    bool isLarge() const;
    bool openPart(QFile &file);
    void sendRequest();
    bool acceptBody();
    qint64 contentLength() const;
    void onReadyRead();
    qint64 allowance(qint64 wanted);
    void onPaceTimer();
    void drainTail();
    void endStream();
    void take(QByteArray chunk);
    void onProgress(qint64 received, qint64 total);
    void onFinished();
    void complete();
    void restartFromZero(const QString &reason);
    qint64 roomNeeded(const DigestingWriter::Result &written) const;
    void keepOrDropPart();
    QString validatorPath() const;
    QString displayName() const;

    QNetworkAccessManager *network;
    TransferTarget destination;
    // Guarded: the network manager may go first and take its replies with it.
    QPointer<QNetworkReply> reply;
    QPointer<LowSpeedGuard> speedGuard; // goes with its reply
    // Asks again when the speed limit said to wait; the bytes wait in the reply meanwhile.
    QTimer *paceTimer = nullptr;
    // What an ended reply still held when the speed limit was spent: at most its read buffer.
    QByteArray tail;
    std::unique_ptr<DigestingWriter> writer;
    SegmentedDownload *segmented = nullptr; // a child, while the file comes in ranges
    // Bytes the part file held when the request went out; the reply's body continues from here.
    qint64 resumeOffset = 0;
    QByteArray validator;
    bool validatorOnDisk = false;
    bool bodyAccepted = false;
    bool restarted = false;
    bool tooLong = false;
    bool cancelled = false;
    bool failedOnTheWire = false;
    bool cutShort = false;
    bool hostFailed = false;
    bool noRoom = false;
    FailureText wireError;
    // The answer does not carry the file's bytes: its status and what the server called it (or
    // the packed form it sent instead).
    bool refused = false;
    int refusedStatus = 0;
    QString refusedReason;
    QString refusedEncoding; // the packed form the server sent instead of the file
    qint64 bodyBytes = 0;
    qint64 bodyLength = -1; // announced by the server; -1: none
    Outcome result = Outcome::Running;
    FailureText error;
    qint64 fileSize = 0;
    QString fileDigest;
};
