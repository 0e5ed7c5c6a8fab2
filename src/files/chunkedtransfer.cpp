#include "files/chunkedtransfer.h"

#include "core/chunkcodec.h"
#include "core/contentchunker.h"
#include "core/filedigest.h"
#include "core/logger.h"
#include "net/diskwrite.h"
#include "net/hostfailure.h"
#include "net/httpnetwork.h"
#include "net/lowspeedguard.h"
#include "net/networkrequests.h"
#include "net/speedlimit.h"
#include "platform/platform.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

// What the worker thread finds and writes while the network waits: it alone touches the part
// file meanwhile.
struct ChunkedTransfer::Local
{
    std::atomic<bool> stop{false};
    QSet<QByteArray> present; // distinct chunks in place at every offset they have
    QString problem;          // a write that failed
    QString wholeDigest;      // the finished part's SHA-256
};

namespace {

QByteArray sha256Of(const char *data, std::size_t size)
{
    platform::Sha256 digest;
    digest.add(data, size);
    return QByteArray::fromStdString(digest.hexResult());
}

bool writeAt(QFile &file, qint64 offset, const char *data, qint64 size)
{
    return file.seek(offset) && writeFully(file, data, size);
}

} // namespace

ChunkedTransfer::ChunkedTransfer(QNetworkAccessManager *network, const FileEntry &entry,
                                 const TransferTarget &target, int requests, QObject *parent)
    : QObject(parent), network(network), entry(entry), target(target),
      requestLimit(qMax(1, requests)), paceTimer(new QTimer(this)),
      pipelinedRequests(target.pipelined)
{
    paceTimer->setSingleShot(true);
    connect(paceTimer, &QTimer::timeout, this, &ChunkedTransfer::onPaceTimer);
    offsets.reserve(size_t(entry.chunks.size()));
    qint64 offset = 0;
    for (int i = 0; i < entry.chunks.size(); ++i) {
        const FileChunk &chunk = entry.chunks.at(i);
        offsets.push_back(offset);
        offset += chunk.size;
        Distinct &one = distinct[chunk.sha256];
        if (one.chunks.empty()) {
            one.stored = chunk.stored;
            one.size = chunk.size;
            totalStored += chunk.stored;
        }
        one.chunks.push_back(i);
    }
}

ChunkedTransfer::~ChunkedTransfer()
{
    abortRequests();
    // The worker checks its stop flag between blocks: this waits a moment at most.
    if (worker) {
        local->stop = true;
        worker->wait();
    }
}

bool ChunkedTransfer::start()
{
    part.setFileName(target.partPath);
    if (!part.open(QIODevice::ReadWrite)) {
        error = FailureText::verbatim(part.errorString());
        return false;
    }
    local = std::make_unique<Local>();
    runLocally([this](Local &found) {
        const qint64 kept = part.size();
        if (kept != entry.size && !part.resize(entry.size)) {
            found.problem = part.errorString();
            return;
        }
        // An earlier attempt's chunks: each is checked where it belongs.
        std::vector<bool> placed(entry.chunks.size(), false);
        QByteArray buffer;
        for (int i = 0; i < entry.chunks.size() && !found.stop; ++i) {
            const FileChunk &chunk = entry.chunks.at(i);
            if (offsets[size_t(i)] + chunk.size > kept)
                break;
            buffer.resize(qsizetype(chunk.size));
            if (!part.seek(offsets[size_t(i)]) ||
                part.read(buffer.data(), chunk.size) != chunk.size)
                break;
            if (sha256Of(buffer.constData(), size_t(chunk.size)) == chunk.sha256) {
                placed[size_t(i)] = true;
                found.present.insert(chunk.sha256);
            }
        }
        // A chunk found once is copied to its other offsets.
        for (const QByteArray &sha256 : qAsConst(found.present)) {
            const Distinct one = distinct.value(sha256);
            int source = -1;
            for (int i : one.chunks)
                source = placed[size_t(i)] ? i : source;
            buffer.resize(qsizetype(one.size));
            if (!part.seek(offsets[size_t(source)]) ||
                part.read(buffer.data(), one.size) != one.size) {
                found.problem = part.errorString();
                return;
            }
            for (int i : one.chunks) {
                if (!placed[size_t(i)] &&
                    !writeAt(part, offsets[size_t(i)], buffer.constData(), one.size)) {
                    found.problem = part.errorString();
                    return;
                }
            }
        }
        // The old copy, cut the way the store was, gives whatever it still has.
        if (found.present.size() == distinct.size() || target.finalPath.isEmpty() ||
            !QFileInfo::exists(target.finalPath))
            return;
        ContentChunker::cutFile(target.finalPath, [&](qint64, const char *data, std::size_t size) {
            if (found.stop)
                return false;
            const QByteArray sha256 = sha256Of(data, size);
            const auto it = distinct.constFind(sha256);
            if (it == distinct.constEnd() || found.present.contains(sha256) ||
                it->size != qint64(size))
                return true;
            for (int i : it->chunks) {
                if (!writeAt(part, offsets[size_t(i)], data, qint64(size))) {
                    found.problem = part.errorString();
                    return false;
                }
            }
            found.present.insert(sha256);
            return found.present.size() < distinct.size();
        });
    });
    return true;
}

void ChunkedTransfer::runLocally(const std::function<void(Local &)> &work)
{
    Local *found = local.get();
    worker = QThread::create([work, found] { work(*found); });
    worker->setParent(this);
    connect(worker, &QThread::finished, this, &ChunkedTransfer::onLocalDone);
    worker->start();
}

void ChunkedTransfer::onLocalDone()
{
    worker->deleteLater();
    worker = nullptr;
    if (result != VerifiedTransfer::Outcome::Running)
        return; // cancelled meanwhile
    if (checking) {
        onWholeChecked();
        return;
    }
    if (!local->problem.isEmpty()) {
        Logger::instance().log(
            Warn, QStringLiteral("Cannot write %1: %2").arg(target.partPath, local->problem));
        failWith(VerifiedTransfer::Outcome::WriteFailed,
                 FailureText("VerifiedTransfer", "cannot write %1").arg(target.partPath));
        return;
    }
    for (auto it = distinct.cbegin(); it != distinct.cend(); ++it) {
        if (local->present.contains(it.key())) {
            inPlace += it->stored;
            ++found;
        }
    }
    // In file order, so the part is written front to back.
    for (const FileChunk &chunk : qAsConst(entry.chunks)) {
        if (!local->present.contains(chunk.sha256)) {
            local->present.insert(chunk.sha256);
            toFetch.push_back(chunk.sha256);
        }
    }
    Logger::instance().log(
        Info, QStringLiteral("Rebuilding %1 from chunks: %2 of %3 in place, %4 to fetch")
                  .arg(entry.path, QString::number(found), QString::number(distinct.size()),
                       QString::number(toFetch.size())));
    emitProgress();
    if (toFetch.empty())
        checkWhole();
    else
        fetchMore();
}

void ChunkedTransfer::fetchMore()
{
    while (int(requests.size() + arrived.size()) < requestLimit && !toFetch.empty()) {
        const QByteArray sha256 = toFetch.front();
        toFetch.pop_front();
        QNetworkRequest request = makeNetworkRequest(QUrl(chunkUrl(entry.chunkStore, sha256)),
                                                     target.userAgent, target.timeoutMs);
        // The stored bytes as they are: a zstd chunk is already packed.
        request.setRawHeader("Accept-Encoding", "identity");
        if (pipelinedRequests)
            request.setAttribute(HttpNetwork::pipelineAttribute, true);
        QNetworkReply *reply = network->get(request);
        reply->setReadBufferSize(VerifiedTransfer::readBufferSize);
        LowSpeedGuard::watch(reply, target.lowSpeedWindowMs);
        requests.insert(reply, Request{sha256, {}, 0});
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onChunkReadyRead(reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onChunkFinished(reply); });
    }
}

// Takes what arrived, and is refused as soon as it is more than the chunk's stored size.
bool ChunkedTransfer::take(Request &request, const QByteArray &bytes)
{
    const qint64 stored = distinct.value(request.sha256).stored;
    if (request.body.size() + bytes.size() > stored) {
        refuse(request.sha256, QStringLiteral("more than the %1 bytes declared").arg(stored));
        return false;
    }
    request.body += bytes;
    request.owed += bytes.size();
    return true;
}

void ChunkedTransfer::onChunkReadyRead(QNetworkReply *reply)
{
    const auto it = requests.find(reply);
    if (it == requests.end())
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && status != 200) {
        reply->readAll(); // an error page: drained, so the answer can end
        return;
    }
    take(*it, reply->readAll());
}

void ChunkedTransfer::onChunkFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const auto it = requests.find(reply);
    if (it == requests.end() || result != VerifiedTransfer::Outcome::Running)
        return;
    Request done = it.value();
    requests.erase(it);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400 && status <= 499) {
        fallBack(QStringLiteral("%1 for chunk %2").arg(status).arg(QLatin1String(done.sha256)));
        return;
    }
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        hostFailed = isHostFailure(reply, false);
        const QString phrase =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        failWith(VerifiedTransfer::Outcome::NetworkError,
                 FailureText::verbatim(status >= 500
                                           ? QStringLiteral("%1 %2").arg(status).arg(phrase)
                                           : reply->errorString()));
        return;
    }
    if (!take(done, reply->readAll()))
        return;
    arrived.push_back(std::move(done));
    payArrived();
}

// Under a speed limit a chunk is complete only once its bytes are paid for: until then it holds
// its place among the requests in flight, so the next request waits.
void ChunkedTransfer::payArrived()
{
    while (!arrived.empty() && result == VerifiedTransfer::Outcome::Running) {
        Request &first = arrived.front();
        if (first.owed > 0)
            first.owed = target.speedLimit ? first.owed - target.speedLimit->take(first.owed) : 0;
        if (first.owed > 0) {
            if (!paceTimer->isActive())
                paceTimer->start(target.speedLimit->waitMs());
            return;
        }
        const Request done = std::move(first);
        arrived.pop_front();
        if (!completeChunk(done))
            return;
    }
    if (result != VerifiedTransfer::Outcome::Running)
        return;
    if (toFetch.empty() && requests.isEmpty() && arrived.empty())
        checkWhole();
    else
        fetchMore();
}

void ChunkedTransfer::onPaceTimer()
{
    payArrived();
}

bool ChunkedTransfer::completeChunk(const Request &done)
{
    const Distinct one = distinct.value(done.sha256);
    if (done.body.size() < one.stored) {
        failWith(VerifiedTransfer::Outcome::NetworkError,
                 FailureText("VerifiedTransfer", "Connection closed after %1 of %2 bytes")
                     .arg(QString::number(done.body.size()), QString::number(one.stored)));
        return false;
    }
    QByteArray bytes;
    QString why;
    if (!chunkcodec::expand(done.body, one.size, bytes, &why)) {
        refuse(done.sha256, why);
        return false;
    }
    if (sha256Of(bytes.constData(), size_t(bytes.size())) != done.sha256) {
        refuse(done.sha256, QStringLiteral("its bytes have another SHA-256"));
        return false;
    }
    if (!place(done.sha256, bytes))
        return false;
    fetched += one.stored;
    ++fetchedChunks;
    inPlace += one.stored;
    emitProgress();
    return true;
}

bool ChunkedTransfer::place(const QByteArray &sha256, const QByteArray &bytes)
{
    for (int i : distinct.value(sha256).chunks) {
        if (!writeAt(part, offsets[size_t(i)], bytes.constData(), bytes.size())) {
            noRoom = ranOutOfSpace(part);
            Logger::instance().log(
                Warn,
                QStringLiteral("Cannot write %1: %2").arg(target.partPath, part.errorString()));
            failWith(VerifiedTransfer::Outcome::WriteFailed,
                     FailureText("VerifiedTransfer", "cannot write %1").arg(target.partPath));
            return false;
        }
    }
    return true;
}

// The whole part's digest, read back on the worker thread, decides as it does for a whole file.
void ChunkedTransfer::checkWhole()
{
    if (!part.flush()) {
        failWith(VerifiedTransfer::Outcome::WriteFailed,
                 FailureText("VerifiedTransfer", "cannot write %1").arg(target.partPath));
        return;
    }
    part.close();
    checking = true;
    const QString path = target.partPath;
    runLocally([path](Local &found) {
        found.wholeDigest = fileSha256(path, [&found](qint64) { return !found.stop; });
    });
}

void ChunkedTransfer::onWholeChecked()
{
    fileSize = QFileInfo(target.partPath).size();
    if (local->wholeDigest != entry.sha256 || fileSize != entry.size) {
        Logger::instance().log(
            Warn, QStringLiteral("Mismatch for %1 rebuilt from chunks: expected SHA-256 %2, got %3")
                      .arg(entry.path, entry.sha256, local->wholeDigest));
        QFile::remove(target.partPath);
        refusedChunk = true;
        failWith(VerifiedTransfer::Outcome::Mismatch,
                 FailureText("VerifiedTransfer", "SHA256 mismatch"));
        return;
    }
    if (!platform::replaceFile(target.partPath.toUtf8().toStdString(),
                               target.finalPath.toUtf8().toStdString())) {
        failWith(VerifiedTransfer::Outcome::RenameFailed,
                 FailureText("VerifiedTransfer", "rename failed"));
        return;
    }
    Logger::instance().log(Info,
                           QStringLiteral("Rebuilt %1: %2 chunks found, %3 fetched (%4 bytes)")
                               .arg(entry.path, QString::number(found),
                                    QString::number(fetchedChunks), QString::number(fetched)));
    end(VerifiedTransfer::Outcome::Completed);
}

void ChunkedTransfer::fallBack(const QString &reason)
{
    abortRequests();
    part.close();
    Logger::instance().log(
        Warn, QStringLiteral("The chunk store cannot give %1 (%2): fetching the whole file")
                  .arg(entry.path, reason));
    whole = new VerifiedTransfer(network, target, this);
    connect(whole, &VerifiedTransfer::progress, this, &ChunkedTransfer::progress);
    connect(whole, &VerifiedTransfer::finished, this, [this] {
        error = whole->failure();
        fileSize = whole->receivedSize();
        hostFailed = whole->hostFailure();
        noRoom = whole->outOfSpace();
        fetched = whole->receivedSize();
        end(whole->outcome());
    });
    emit progress(0, target.size);
    if (!whole->start())
        failWith(VerifiedTransfer::Outcome::WriteFailed, whole->failure());
}

void ChunkedTransfer::refuse(const QByteArray &sha256, const QString &reason)
{
    Logger::instance().log(Warn, QStringLiteral("Chunk %1 of %2 refused: %3")
                                     .arg(QLatin1String(sha256), entry.path, reason));
    refusedChunk = true;
    failWith(VerifiedTransfer::Outcome::Mismatch,
             FailureText("VerifiedTransfer", "SHA256 mismatch"));
}

void ChunkedTransfer::failWith(VerifiedTransfer::Outcome outcome, const FailureText &text)
{
    if (result != VerifiedTransfer::Outcome::Running)
        return;
    abortRequests();
    error = text;
    end(outcome);
}

void ChunkedTransfer::abortRequests()
{
    const QList<QNetworkReply *> open = requests.keys();
    requests.clear();
    arrived.clear();
    for (QNetworkReply *reply : open) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void ChunkedTransfer::cancel()
{
    if (result != VerifiedTransfer::Outcome::Running)
        return;
    cancelled = true;
    if (whole) {
        whole->cancel(); // finished() follows from inside
        return;
    }
    // The worker stops within a block; the part is then free for the next attempt at once.
    if (worker) {
        local->stop = true;
        worker->wait();
    }
    failWith(VerifiedTransfer::Outcome::Cancelled, FailureText("VerifiedTransfer", "cancelled"));
}

void ChunkedTransfer::end(VerifiedTransfer::Outcome outcome)
{
    result = outcome;
    paceTimer->stop();
    part.close();
    emit finished();
}

void ChunkedTransfer::emitProgress()
{
    emit progress(inPlace, totalStored);
}
