#include "net/verifiedtransfer.h"

#include "core/logger.h"
#include "net/digestingwriter.h"
#include "net/diskwrite.h"
#include "net/hostfailure.h"
#include "net/httpnetwork.h"
#include "net/httpreply.h"
#include "net/networkrequests.h"
#include "net/segmenteddownload.h"
#include "net/speedlimit.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {
// A file at least this long is large: it keeps its validator on disk from the body's first byte,
// so that even a killed launcher resumes it, and it is written and hashed on a thread of its own.
// Smaller ones write their validator only when their attempt breaks, and are written and hashed
// on this thread, where that costs less than starting a thread for them.
constexpr qint64 largeFrom = 1 << 20;

bool writeValidator(const QString &path, const QByteArray &validator)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(validator) == validator.size() && file.flush();
}
} // namespace

VerifiedTransfer::VerifiedTransfer(QNetworkAccessManager *network, const TransferTarget &target,
                                   QObject *parent)
    : QObject(parent), network(network), destination(target), paceTimer(new QTimer(this))
{
    paceTimer->setSingleShot(true);
    connect(paceTimer, &QTimer::timeout, this, &VerifiedTransfer::onPaceTimer);
}

VerifiedTransfer::~VerifiedTransfer()
{
    if (writer)
        writer->abandon();
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

QString VerifiedTransfer::validatorPath() const
{
    return destination.partPath + QStringLiteral(".validator");
}

QString VerifiedTransfer::displayName() const
{
    return destination.name.isEmpty() ? destination.url.toString() : destination.name;
}

bool VerifiedTransfer::start()
{
    if (!SegmentedDownload::suits(destination, destination.connections))
        return startStream();
    segmented = new SegmentedDownload(network, destination, destination.connections, this);
    connect(segmented, &SegmentedDownload::progress, this, &VerifiedTransfer::progress);
    connect(segmented, &SegmentedDownload::finished, this, &VerifiedTransfer::onSegmentsFinished);
    if (segmented->start())
        return true;
    error = segmented->failure();
    delete segmented;
    segmented = nullptr;
    return false;
}

void VerifiedTransfer::onSegmentsFinished()
{
    const SegmentedDownload::End end = segmented->end();
    if (end == SegmentedDownload::End::RangesIgnored) {
        Logger::instance().log(
            Info, QStringLiteral("The server sends %1 only whole: downloading it in one stream")
                      .arg(displayName()));
        segmented->keepOrDrop(false);
        segmented->deleteLater();
        segmented = nullptr;
        if (!startStream()) {
            result = Outcome::WriteFailed;
            emit finished();
        }
        return;
    }
    if (end == SegmentedDownload::End::Failed) {
        failedOnTheWire = true;
        wireError = segmented->failure();
        hostFailed = segmented->hostFailure();
    }
    complete();
}

// One request for the whole file, or for the rest of a part kept from an earlier attempt.
bool VerifiedTransfer::startStream()
{
    resumeOffset = 0;
    validator.clear();
    validatorOnDisk = false;
    auto file = std::make_unique<QFile>(destination.partPath);
    if (!openPart(*file)) {
        error = FailureText::verbatim(file->errorString());
        return false;
    }
    // A large part is read back into the digest on the writer's thread, and the request waits
    // for it there: this thread goes on with other transfers, and a cancel does not wait.
    const bool readBackFirst = resumeOffset > 0 && isLarge();
    // A part that holds the whole file (a pause came after its last byte arrived) is only checked.
    const bool whole = resumeOffset > 0 && resumeOffset == destination.size;
    const auto next = [this, whole] {
        QMetaObject::invokeMethod(
            this,
            [this, whole] {
                if (result != Outcome::Running || cancelled)
                    return;
                if (whole)
                    endStream();
                else
                    sendRequest();
            },
            Qt::QueuedConnection);
    };
    DigestingWriter::Notify readBackDone;
    if (readBackFirst)
        readBackDone = next;
    writer = std::make_unique<DigestingWriter>(std::move(file), resumeOffset,
                                               isLarge() ? DigestingWriter::Mode::OwnThread
                                                         : DigestingWriter::Mode::CallersThread,
                                               std::move(readBackDone));
    if (resumeOffset > 0) {
        Logger::instance().log(Info, QStringLiteral("Resuming %1 at %2 bytes")
                                         .arg(displayName(), QString::number(resumeOffset)));
        emit progress(resumeOffset, destination.size);
    }
    if (whole && !readBackFirst)
        next();
    else if (!readBackFirst)
        sendRequest();
    return true;
}

bool VerifiedTransfer::isLarge() const
{
    return destination.size < 0 || destination.size >= largeFrom;
}

// Opens the part file and sets resumeOffset to the bytes of an earlier attempt worth keeping.
bool VerifiedTransfer::openPart(QFile &file)
{
    if (!destination.resumable)
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);

    // Opened as it stands and measured through the open file: a fresh part, the common case,
    // costs no lookup of its name beyond the open.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return false;
    const qint64 partSize = file.size();
    // A small file's validator is written only when an attempt breaks with bytes in its part.
    if (partSize > 0 || isLarge()) {
        QFile stored(validatorPath());
        validatorOnDisk = stored.open(QIODevice::ReadOnly);
        if (validatorOnDisk)
            validator = stored.readAll().trimmed();
    }
    // A part longer than the file is not the file's.
    if (!validator.isEmpty() && partSize > 0 &&
        (destination.size < 0 || partSize <= destination.size))
        resumeOffset = partSize;
    else
        validator.clear();
    if (validatorOnDisk && resumeOffset == 0) {
        QFile::remove(validatorPath());
        validatorOnDisk = false;
    }
    if (resumeOffset > 0)
        return file.seek(resumeOffset);
    return partSize == 0 || file.resize(0);
}

void VerifiedTransfer::sendRequest()
{
    QNetworkRequest request =
        makeNetworkRequest(destination.url, destination.userAgent, destination.timeoutMs);
    // The file's own bytes: without this a server may send a packed form (no Accept-Encoding
    // means any), which fails the size check every time, and offsets of a resume would count
    // the packed bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    if (destination.pipelined)
        request.setAttribute(HttpNetwork::pipelineAttribute, true);
    if (resumeOffset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeOffset) + '-');
        // The rest only if the file is still the one the part came from; otherwise all of it.
        request.setRawHeader("If-Range", validator);
    }
    // Held back by a speed limit, the connection holds little unread, so the server is held back
    // too and a pause loses nothing (small files, riding on shared connections, stay as they are).
    const qint64 window = destination.speedLimit && !destination.pipelined
                              ? destination.speedLimit->connectionBuffer()
                              : 0;
    if (window > 0)
        request.setAttribute(receiveBufferAttribute, window);
    bodyAccepted = false;
    bodyBytes = 0;
    bodyLength = -1;
    reply = network->get(request);
    reply->setReadBufferSize(window > 0 ? qMin(window, readBufferSize) : readBufferSize);
    speedGuard = LowSpeedGuard::watch(reply, destination.lowSpeedWindowMs);
    connect(reply, &QNetworkReply::readyRead, this, &VerifiedTransfer::onReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &VerifiedTransfer::onProgress);
    connect(reply, &QNetworkReply::finished, this, &VerifiedTransfer::onFinished);
}

void VerifiedTransfer::cancel()
{
    if (segmented && result == Outcome::Running) {
        cancelled = true;
        segmented->cancel();
        complete();
        return;
    }
    if (!writer || result != Outcome::Running)
        return;
    cancelled = true;
    paceTimer->stop();
    if (bodyAccepted && !tooLong && (reply || !tail.isEmpty())) {
        // The bytes that crossed the wire go to the part first, past the speed limit: the next
        // attempt asks only for the rest.
        if (QNetworkReply *stopped = reply) {
            reply = nullptr;
            stopped->disconnect(this);
            if (auto *own = qobject_cast<HttpReply *>(stopped))
                own->takeWhatArrived();
            if (stopped->bytesAvailable() > 0)
                take(stopped->read(stopped->bytesAvailable()));
            stopped->abort();
            stopped->deleteLater();
        }
        if (!tail.isEmpty())
            take(std::exchange(tail, {}));
        writer->abandon(true);
        complete();
        return;
    }
    writer->abandon();
    if (reply)
        reply->abort(); // finished() follows from inside
    else
        complete(); // still reading the part back, or checking the file
}

// Decides, once the answer's head is in, what its body is to the part file. False when the body
// is not file content (an error page) or when a new request replaced this one.
bool VerifiedTransfer::acceptBody()
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (resumeOffset > 0) {
        if (status == 416) {
            restartFromZero(QStringLiteral("the server has no bytes past the part"));
            return false;
        }
        if (status == 206) {
            const QByteArray range = reply->rawHeader("Content-Range");
            const QByteArray etag = reply->rawHeader("ETag");
            const bool sameStart =
                range.startsWith("bytes " + QByteArray::number(resumeOffset) + '-');
            const bool sameFile = etag.isEmpty() || !validator.startsWith('"') || etag == validator;
            if (!sameStart || !sameFile) {
                restartFromZero(QStringLiteral("the server sent another range or file"));
                return false;
            }
            bodyAccepted = true;
            bodyLength = contentLength();
            return true;
        }
    }
    // No content (204, 205), a redirect that was not followed, an error page: not the file.
    if (status != 0 && (status < 200 || status > 299 || status == 204 || status == 205)) {
        refused = true;
        refusedStatus = status;
        return false;
    }
    // Packed though asked for the file's own bytes: its size and digest would never match.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
        refused = true;
        refusedEncoding = QString::fromLatin1(encoding);
        return false;
    }
    if (resumeOffset > 0) {
        // The whole file after all: it changed, or the server ignores ranges.
        writer->restart();
        resumeOffset = 0;
    }
    bodyAccepted = true;
    bodyLength = contentLength();
    if (destination.resumable) {
        const QByteArray etag = reply->rawHeader("ETag");
        // A weak ETag may not be used to ask for a range.
        validator =
            !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified");
        if (!validator.isEmpty() && bodyLength >= largeFrom)
            validatorOnDisk = writeValidator(validatorPath(), validator);
    }
    return true;
}

qint64 VerifiedTransfer::contentLength() const
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() ? length.toLongLong() : -1;
}

void VerifiedTransfer::onReadyRead()
{
    if (!bodyAccepted && !acceptBody()) {
        if (reply)
            reply->readAll(); // an error page: drained, so the answer can end
        return;
    }
    // In one piece: readAll() would grow its result 16 KiB at a time.
    const qint64 allowed = allowance(reply->bytesAvailable());
    if (allowed > 0)
        take(reply->read(allowed));
}

// What the speed limit lets this transfer take of `wanted` bytes now; when it is less, the pace
// timer asks again.
qint64 VerifiedTransfer::allowance(qint64 wanted)
{
    if (!destination.speedLimit || wanted <= 0)
        return wanted;
    const qint64 allowed = destination.speedLimit->take(wanted);
    if (allowed < wanted) {
        // The bytes wait on this side: the server is not the slow one.
        if (speedGuard)
            speedGuard->excuse();
        if (!paceTimer->isActive())
            paceTimer->start(destination.speedLimit->waitMs());
    }
    return allowed;
}

void VerifiedTransfer::onPaceTimer()
{
    if (result != Outcome::Running || cancelled)
        return;
    if (reply && bodyAccepted)
        onReadyRead();
    else if (!reply)
        drainTail();
}

void VerifiedTransfer::take(QByteArray chunk)
{
    bodyBytes += chunk.size();
    if (destination.size >= 0 && resumeOffset + bodyBytes > destination.size) {
        // Longer than the file can be: no reason to fill the disk with the rest.
        tooLong = true;
        if (reply)
            reply->abort();
        return;
    }
    if (!writer->write(std::move(chunk)) && reply)
        reply->abort();
}

void VerifiedTransfer::onProgress(qint64 received, qint64 total)
{
    if (!bodyAccepted)
        return;
    emit progress(resumeOffset + received, total > 0 ? resumeOffset + total : total);
}

void VerifiedTransfer::restartFromZero(const QString &reason)
{
    Logger::instance().log(
        Info, QStringLiteral("Restarting %1 from the first byte: %2").arg(displayName(), reason));
    QNetworkReply *old = reply;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
    if (validatorOnDisk)
        QFile::remove(validatorPath());
    validatorOnDisk = false;
    validator.clear();
    writer->restart();
    resumeOffset = 0;
    emit progress(0, destination.size);
    sendRequest();
}

void VerifiedTransfer::onFinished()
{
    QNetworkReply *done = reply;
    if (!done)
        return;
    done->deleteLater();

    failedOnTheWire = done->error() != QNetworkReply::NoError;
    if (!cancelled && !tooLong) {
        if (!bodyAccepted && (!failedOnTheWire || resumeOffset > 0))
            acceptBody();
        if (reply != done)
            return; // a new request took over
        if (bodyAccepted && !failedOnTheWire)
            tail = done->read(done->bytesAvailable());
    }
    reply = nullptr;
    paceTimer->stop();
    wireError = FailureText::verbatim(done->errorString());
    // The player reads "404 Not Found" sooner than Qt's sentence around it with the URL.
    const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString phrase =
        done->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    if (status >= 400 && !phrase.isEmpty())
        wireError = FailureText::verbatim(QString::number(status) + QLatin1Char(' ') + phrase);
    if (speedGuard && speedGuard->tripped())
        wireError = speedGuard->reason();
    else if (done->error() == QNetworkReply::OperationCanceledError && !cancelled)
        // Qt's transfer time-out calls itself a cancel.
        wireError =
            FailureText("VerifiedTransfer", "The server sent nothing for %1 s")
                .arg(QString::number((destination.timeoutMs > 0 ? destination.timeoutMs
                                                                : network->transferTimeout()) /
                                     1000.0));
    hostFailed =
        !cancelled && failedOnTheWire && isHostFailure(done, speedGuard && speedGuard->tripped());
    if (refused)
        refusedReason = done->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    drainTail();
}

// The last bytes of an ended reply go to the part as the speed limit allows.
void VerifiedTransfer::drainTail()
{
    while (!tail.isEmpty() && !tooLong && !writer->failed()) {
        const qint64 allowed = allowance(tail.size());
        if (allowed == 0)
            return; // the pace timer comes back
        if (allowed == tail.size()) {
            take(std::exchange(tail, {}));
        } else {
            take(tail.left(allowed));
            tail.remove(0, allowed);
        }
    }
    tail.clear();
    endStream();
}

void VerifiedTransfer::endStream()
{
    // Qt may end an answer whose connection closed early without an error: the length it
    // announced tells a broken transfer (worth resuming) from a wrong file.
    cutShort = !failedOnTheWire && bodyAccepted && bodyLength >= 0 && bodyBytes < bodyLength;
    // Bytes that may be the file are read back from disk first, on the writer's thread.
    if (!cancelled && !failedOnTheWire && !tooLong && !cutShort && !refused && !writer->failed()) {
        writer->finishLater([this] {
            QMetaObject::invokeMethod(
                this, [this] { complete(); }, Qt::QueuedConnection);
        });
        return;
    }
    complete();
}

void VerifiedTransfer::complete()
{
    if (result != Outcome::Running)
        return; // a cancel came first
    DigestingWriter::Result written;
    if (segmented) {
        written = segmented->result();
        if (segmented->end() == SegmentedDownload::End::WriteFailed) {
            written.written = false;
            written.error = segmented->errorString();
            written.outOfSpace = segmented->outOfSpace();
            written.size = segmented->received();
        } else if (segmented->end() != SegmentedDownload::End::Done) {
            written.written = true;
            written.size = segmented->received();
        }
    } else {
        written = writer->finish();
        writer.reset();
    }
    fileSize = tooLong ? resumeOffset + bodyBytes : written.size;
    fileDigest = written.sha256;

    if (cancelled) {
        result = Outcome::Cancelled;
        error = FailureText("VerifiedTransfer", "cancelled");
        // Cancelled while the part was read back: all of it is still there for the next attempt.
        fileSize = qMax(fileSize, resumeOffset);
    } else if (!written.written) {
        result = Outcome::WriteFailed;
        noRoom = written.outOfSpace;
        error = noRoom
                    ? notEnoughSpace(QFileInfo(destination.partPath).absolutePath(),
                                     roomNeeded(written))
                    : FailureText("VerifiedTransfer", "cannot write %1").arg(destination.partPath);
        Logger::instance().log(
            Warn, QStringLiteral("Cannot write %1: %2").arg(destination.partPath, written.error));
    } else if (failedOnTheWire && !tooLong && (refusedStatus < 300 || refusedStatus > 399)) {
        result = Outcome::NetworkError;
        error = wireError;
    } else if (!refusedEncoding.isEmpty()) {
        result = Outcome::NetworkError;
        error = FailureText("VerifiedTransfer",
                            "The server sent the file packed (Content-Encoding: %1) though asked "
                            "for its own bytes")
                    .arg(refusedEncoding);
    } else if (refusedStatus != 0) {
        // The part stays: nothing of this answer reached it. (Qt calls a redirect without a
        // Location an unknown protocol; the status says more.)
        result = Outcome::NetworkError;
        error =
            FailureText("VerifiedTransfer", "The server answered %1 instead of the file")
                .arg((QString::number(refusedStatus) + QLatin1Char(' ') + refusedReason).trimmed());
    } else if (cutShort) {
        result = Outcome::NetworkError;
        error = FailureText("VerifiedTransfer", "Connection closed after %1 of %2 bytes")
                    .arg(QString::number(bodyBytes), QString::number(bodyLength));
    } else if (written.changedOnDisk) {
        result = Outcome::Mismatch;
        error =
            FailureText("VerifiedTransfer", "%1 was changed by another program while it downloaded")
                .arg(destination.partPath);
        Logger::instance().log(
            Warn, QStringLiteral("Not using %1: %2").arg(displayName(), error.logged()));
    } else if (tooLong || (destination.size >= 0 && fileSize != destination.size) ||
               (destination.verifyDigest && fileDigest != destination.sha256)) {
        result = Outcome::Mismatch;
        error = FailureText("VerifiedTransfer", "SHA256 mismatch");
        Logger::instance().log(
            Warn, QStringLiteral("Mismatch for %1: expected %2 bytes with SHA-256 %3, received "
                                 "%4%5 bytes with SHA-256 %6")
                      .arg(destination.url.toString(),
                           destination.size >= 0 ? QString::number(destination.size)
                                                 : QStringLiteral("any"),
                           destination.verifyDigest ? destination.sha256 : QStringLiteral("(any)"),
                           tooLong ? QStringLiteral("more than ") : QString(),
                           QString::number(tooLong ? destination.size : fileSize),
                           tooLong ? QStringLiteral("(not computed)") : fileDigest));
    } else if (!destination.finalPath.isEmpty() && destination.finalPath != destination.partPath &&
               !platform::replaceFile(destination.partPath.toUtf8().toStdString(),
                                      destination.finalPath.toUtf8().toStdString())) {
        result = Outcome::RenameFailed;
        error = FailureText("VerifiedTransfer", "rename failed");
    } else {
        result = Outcome::Completed;
    }
    keepOrDropPart();
    emit finished();
}

// What the rest of the file needs on the disk, beyond what its part holds.
qint64 VerifiedTransfer::roomNeeded(const DigestingWriter::Result &written) const
{
    if (destination.size >= 0)
        return qMax(qint64(0), destination.size - written.size);
    if (bodyLength >= 0)
        return qMax(qint64(0), resumeOffset + bodyLength - written.size);
    return written.unwritten;
}

void VerifiedTransfer::keepOrDropPart()
{
    // A full disk does not spoil what is in the part: once there is room it goes on from there.
    const bool broken = result == Outcome::NetworkError || result == Outcome::Cancelled || noRoom;
    if (segmented) {
        if (!segmented->keepOrDrop(broken) && result != Outcome::Completed)
            QFile::remove(destination.partPath);
        return;
    }
    if (destination.resumable && broken && !validator.isEmpty() && fileSize > 0) {
        if (!validatorOnDisk)
            validatorOnDisk = writeValidator(validatorPath(), validator);
        if (validatorOnDisk)
            return; // the next attempt continues from here
    }
    if (validatorOnDisk)
        QFile::remove(validatorPath());
    validatorOnDisk = false;
    if (result != Outcome::Completed)
        QFile::remove(destination.partPath);
}
