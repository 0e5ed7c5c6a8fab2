#include "net/segmenteddownload.h"

#include "core/logger.h"
#include "net/diskwrite.h"
#include "net/hostfailure.h"
#include "net/httpnetwork.h"
#include "net/httpreply.h"
#include "net/lowspeedguard.h"
#include "net/networkrequests.h"
#include "net/speedlimit.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>

namespace {
// Below this a file is not worth the extra requests: one connection brings it in a few seconds.
constexpr qint64 segmentedFrom = 16 << 20;
// No range shorter than this: each costs a request and a round trip.
constexpr qint64 shortestSegment = 4 << 20;
constexpr qint64 readSlice = 1 << 20;
constexpr int qtConnectionsPerServer = 6;

// "bytes A-B/T" into its three numbers; T is -1 for "*".
bool parseContentRange(const QByteArray &value, qint64 &first, qint64 &last, qint64 &length)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return false;
    const int dash = text.indexOf('-', 6);
    const int slash = text.indexOf('/', dash + 1);
    if (dash < 0 || slash < 0)
        return false;
    bool ok1 = false;
    bool ok2 = false;
    first = text.mid(6, dash - 6).trimmed().toLongLong(&ok1);
    last = text.mid(dash + 1, slash - dash - 1).trimmed().toLongLong(&ok2);
    const QByteArray rest = text.mid(slash + 1).trimmed();
    bool ok3 = rest == "*";
    length = ok3 ? -1 : rest.toLongLong(&ok3);
    return ok1 && ok2 && ok3 && first >= 0 && last >= first;
}
} // namespace

SegmentedDownload::SegmentedDownload(QNetworkAccessManager *network, const TransferTarget &target,
                                     int connections, QObject *parent)
    : QObject(parent), network(network), target(target), connections(qMax(1, connections)),
      total(target.size), paceTimer(new QTimer(this))
{
    paceTimer->setSingleShot(true);
    connect(paceTimer, &QTimer::timeout, this, &SegmentedDownload::onPaceTimer);
}

SegmentedDownload::~SegmentedDownload()
{
    abandoned = true;
    if (hasher.joinable())
        hasher.join();
    stopAll();
}

bool SegmentedDownload::suits(const TransferTarget &target, int connections)
{
    // Only a length known beforehand can be split before the first answer, and checked after.
    if (target.size < segmentedFrom)
        return false;
    // Ranges kept from an earlier attempt go on as ranges, over however few connections.
    if (target.resumable && QFile::exists(target.partPath + QStringLiteral(".segments")))
        return true;
    // A part a single stream left with its validator is continued by a single stream.
    return connections > 1 && !QFile::exists(target.partPath + QStringLiteral(".validator"));
}

int SegmentedDownload::connectionsWanted(const TransferTarget &target)
{
    if (target.size < segmentedFrom)
        return 1;
    return int(std::min<qint64>(maxConnections, target.size / shortestSegment));
}

QString SegmentedDownload::statePath() const
{
    return target.partPath + QStringLiteral(".segments");
}

qint64 SegmentedDownload::received() const
{
    qint64 sum = 0;
    for (const Segment &segment : segments)
        sum += segment.next - segment.from;
    return sum;
}

bool SegmentedDownload::start()
{
    // Qt opens at most six connections to a server and queues further requests, whose time-outs
    // and low-speed rule would run while they wait.
    const auto *own = qobject_cast<HttpNetwork *>(network);
    if (!own ||
        !own->servesItself(makeNetworkRequest(target.url, target.userAgent, target.timeoutMs)))
        connections = std::min(connections, qtConnectionsPerServer);
    if (loadState()) {
        Logger::instance().log(
            Info, QStringLiteral("Resuming %1 in %2 ranges at %3 bytes")
                      .arg(target.name.isEmpty() ? target.url.toString() : target.name,
                           QString::number(segments.size()), QString::number(received())));
        emit progress(received(), total);
        sinceSaved.start();
        launchMore();
        if (std::all_of(segments.begin(), segments.end(),
                        [](const Segment &s) { return s.next > s.to; }))
            readBack();
        return true;
    }
    QFile::remove(statePath());
    QFile part(target.partPath);
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate) || !part.resize(total)) {
        error = FailureText::verbatim(part.errorString());
        return false;
    }
    part.close();
    segments.clear();
    Segment first;
    const int pieces = int(std::clamp<qint64>(total / shortestSegment, 1, connections));
    first.to = (total + pieces - 1) / pieces - 1;
    segments.push_back(std::move(first));
    probing = true;
    sinceSaved.start();
    send(0);
    return true;
}

bool SegmentedDownload::loadState()
{
    if (!target.resumable)
        return false;
    QFile stored(statePath());
    if (!stored.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = stored.readAll().split('\n');
    if (lines.size() < 3)
        return false;
    validator = lines[0].trimmed();
    bool ok = false;
    const qint64 length = lines[1].trimmed().toLongLong(&ok);
    if (validator.isEmpty() || !ok || length != target.size ||
        QFileInfo(target.partPath).size() != length)
        return false;
    std::vector<Segment> kept;
    qint64 expectedFrom = 0;
    for (int i = 2; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() != 3)
            continue;
        Segment segment;
        segment.from = fields[0].toLongLong();
        segment.to = fields[1].toLongLong();
        segment.next = fields[2].toLongLong();
        // The ranges follow one another and cover the file exactly.
        if (segment.from != expectedFrom || segment.to < segment.from ||
            segment.next < segment.from || segment.next > segment.to + 1)
            return false;
        expectedFrom = segment.to + 1;
        kept.push_back(std::move(segment));
    }
    if (expectedFrom != length)
        return false;
    total = length;
    segments = std::move(kept);
    return true;
}

void SegmentedDownload::saveState()
{
    sinceSaved.restart();
    if (!target.resumable || validator.isEmpty() || total <= 0)
        return;
    QByteArray text = validator + '\n' + QByteArray::number(total) + '\n';
    for (const Segment &segment : segments)
        text += QByteArray::number(segment.from) + ' ' + QByteArray::number(segment.to) + ' ' +
                QByteArray::number(segment.next) + '\n';
    QFile stored(statePath());
    if (stored.open(QIODevice::WriteOnly | QIODevice::Truncate))
        stored.write(text);
}

void SegmentedDownload::splitRest(qint64 from, int pieces)
{
    const qint64 rest = total - from;
    pieces = int(std::clamp<qint64>(rest / shortestSegment, 1, pieces));
    for (int i = 0; i < pieces; ++i) {
        Segment segment;
        segment.from = from + rest * i / pieces;
        segment.to = from + rest * (i + 1) / pieces - 1;
        segment.next = segment.from;
        segments.push_back(std::move(segment));
    }
}

void SegmentedDownload::launchMore()
{
    int inFlight = int(
        std::count_if(segments.begin(), segments.end(), [](const Segment &s) { return s.busy(); }));
    for (int i = 0; i < int(segments.size()) && inFlight < connections && ended == End::Running;
         ++i) {
        if (segments[size_t(i)].busy() || segments[size_t(i)].next > segments[size_t(i)].to)
            continue;
        send(i);
        ++inFlight;
    }
}

void SegmentedDownload::send(int index)
{
    Segment &segment = segments[size_t(index)];
    segment.file = std::make_unique<QFile>(target.partPath);
    if (!segment.file->open(QIODevice::ReadWrite | QIODevice::Unbuffered) ||
        !segment.file->seek(segment.next)) {
        fail(FailureText("VerifiedTransfer", "cannot write %1").arg(target.partPath),
             End::WriteFailed);
        return;
    }
    QNetworkRequest request = makeNetworkRequest(target.url, target.userAgent, target.timeoutMs);
    request.setRawHeader("Accept-Encoding", "identity");
    request.setRawHeader("Range", "bytes=" + QByteArray::number(segment.next) + '-' +
                                      QByteArray::number(segment.to));
    // The range only from the file the other ranges came from; otherwise the whole file, which
    // tells that it changed.
    if (!validator.isEmpty())
        request.setRawHeader("If-Range", validator);
    // Held back by a speed limit, each connection holds little unread (see VerifiedTransfer).
    const qint64 window = target.speedLimit ? target.speedLimit->connectionBuffer() : 0;
    if (window > 0)
        request.setAttribute(receiveBufferAttribute, window);
    segment.accepted = false;
    QNetworkReply *reply = network->get(request);
    segment.reply = reply;
    reply->setReadBufferSize(window > 0 ? qMin(window, VerifiedTransfer::readBufferSize)
                                        : VerifiedTransfer::readBufferSize);
    LowSpeedGuard::watch(reply, target.lowSpeedWindowMs);
    connect(reply, &QNetworkReply::readyRead, this, [this, index] { onReadyRead(index); });
    connect(reply, &QNetworkReply::finished, this, [this, index] { onFinished(index); });
}

// Decides, once a range's head is in, whether its body is that range of the file.
bool SegmentedDownload::accept(int index)
{
    Segment &segment = segments[size_t(index)];
    QNetworkReply *reply = segment.reply;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
        fail(FailureText("VerifiedTransfer",
                         "The server sent the file packed (Content-Encoding: %1) though asked "
                         "for its own bytes")
                 .arg(QString::fromLatin1(encoding)));
        return false;
    }
    if (status == 416) {
        restartFresh(QStringLiteral("the server has no such range"));
        return false;
    }
    // The whole file to any range: the server does not do ranges (or does them only for the
    // first), and one stream fetches the file, whether it changed or not.
    if (status >= 200 && status <= 299 && status != 206 && status != 204 && status != 205) {
        stopAll();
        finish(End::RangesIgnored);
        return false;
    }
    if (status != 206) {
        hostFailed = status >= 500;
        fail(FailureText("VerifiedTransfer", "The server answered %1 instead of the file")
                 .arg((QString::number(status) + QLatin1Char(' ') +
                       reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                          .trimmed()));
        return false;
    }
    const QByteArray etag = reply->rawHeader("ETag");
    if (!probing && !etag.isEmpty() && validator.startsWith('"') && etag != validator) {
        restartFresh(QStringLiteral("the file changed on the server"));
        return false;
    }
    qint64 first = 0;
    qint64 last = 0;
    qint64 length = 0;
    const QByteArray range = reply->rawHeader("Content-Range");
    const bool parsed = parseContentRange(range, first, last, length);
    if (!parsed || first != segment.next || last != segment.to ||
        (length >= 0 && length != total)) {
        fail(FailureText("VerifiedTransfer", "The server answered a request for bytes %1 with %2")
                 .arg(QStringLiteral("%1-%2").arg(segment.next).arg(segment.to),
                      range.isEmpty() ? QStringLiteral("no Content-Range")
                                      : QString::fromLatin1(range)));
        return false;
    }
    segment.accepted = true;
    if (!probing)
        return true;
    probing = false;
    validator =
        !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified");
    if (last + 1 < total)
        splitRest(last + 1, qMax(1, connections - 1));
    saveState();
    launchMore();
    // A range that could not open the part has failed the transfer and ended every reply.
    return ended == End::Running;
}

void SegmentedDownload::onReadyRead(int index)
{
    if (!segments[size_t(index)].reply)
        return;
    // Every refusal ends all the ranges' replies; an accepted first range may add ranges (and
    // move this one in memory).
    if (!segments[size_t(index)].accepted && !accept(index))
        return;
    Segment &segment = segments[size_t(index)];
    const qint64 allowed = allowance(segment.reply->bytesAvailable(), segment.reply);
    if (allowed > 0)
        write(index, segment.reply->read(allowed));
}

// What the speed limit lets a range take of `wanted` bytes now; when it is less, the pace timer
// asks again for every range.
qint64 SegmentedDownload::allowance(qint64 wanted, QNetworkReply *reply)
{
    if (!target.speedLimit || wanted <= 0)
        return wanted;
    const qint64 allowed = target.speedLimit->take(wanted);
    if (allowed < wanted) {
        // The bytes wait on this side: the server is not the slow one.
        if (LowSpeedGuard *guard = reply ? reply->findChild<LowSpeedGuard *>() : nullptr)
            guard->excuse();
        if (!paceTimer->isActive())
            paceTimer->start(target.speedLimit->waitMs());
    }
    return allowed;
}

void SegmentedDownload::onPaceTimer()
{
    for (int i = 0; i < int(segments.size()) && ended == End::Running; ++i) {
        // A range whose answer has not begun has nothing waiting.
        if (segments[size_t(i)].reply && segments[size_t(i)].accepted)
            onReadyRead(i);
        else if (!segments[size_t(i)].tail.isEmpty())
            drain(i);
    }
}

bool SegmentedDownload::write(int index, const QByteArray &chunk)
{
    Segment &segment = segments[size_t(index)];
    if (chunk.isEmpty())
        return true;
    if (segment.next + chunk.size() > segment.to + 1) {
        fail(FailureText("VerifiedTransfer", "The server sent more than the range asked for"));
        return false;
    }
    if (!writeFully(*segment.file, chunk.constData(), chunk.size())) {
        const QString reason = segment.file->errorString();
        noRoom = ranOutOfSpace(*segment.file);
        Logger::instance().log(Warn,
                               QStringLiteral("Cannot write %1: %2").arg(target.partPath, reason));
        fail(FailureText("VerifiedTransfer", "cannot write %1").arg(target.partPath),
             End::WriteFailed);
        return false;
    }
    segment.next += chunk.size();
    emit progress(received(), total);
    if (sinceSaved.elapsed() >= 1000)
        saveState();
    return true;
}

void SegmentedDownload::onFinished(int index)
{
    Segment &segment = segments[size_t(index)];
    QNetworkReply *reply = segment.reply;
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        const LowSpeedGuard *guard = reply->findChild<LowSpeedGuard *>();
        const bool tooSlow = guard && guard->tripped();
        hostFailed = isHostFailure(reply, tooSlow);
        fail(tooSlow ? guard->reason() : FailureText::verbatim(reply->errorString()));
        return;
    }
    onReadyRead(index);
    if (ended != End::Running || index >= int(segments.size()) ||
        segments[size_t(index)].reply != reply)
        return; // ended, or a fresh start took over
    Segment &done = segments[size_t(index)];
    done.tail = reply->read(reply->bytesAvailable());
    done.reply = nullptr;
    drain(index);
}

// The last bytes of a range whose reply has ended go to the part as the speed limit allows.
void SegmentedDownload::drain(int index)
{
    Segment &segment = segments[size_t(index)];
    while (!segment.tail.isEmpty()) {
        const qint64 allowed = allowance(segment.tail.size(), nullptr);
        if (allowed == 0)
            return; // the pace timer comes back
        const QByteArray chunk = segment.tail.left(allowed);
        segment.tail.remove(0, allowed);
        if (!write(index, chunk))
            return;
    }
    segmentDone(index);
}

void SegmentedDownload::segmentDone(int index)
{
    Segment &done = segments[size_t(index)];
    done.file.reset();
    if (done.next <= done.to) {
        fail(FailureText("VerifiedTransfer", "Connection closed after %1 of %2 bytes")
                 .arg(QString::number(done.next - done.from),
                      QString::number(done.to - done.from + 1)));
        return;
    }
    launchMore();
    if (std::all_of(segments.begin(), segments.end(),
                    [](const Segment &s) { return s.next > s.to && !s.busy(); })) {
        saveState();
        readBack();
    }
}

void SegmentedDownload::fail(const FailureText &reason, End how)
{
    if (ended != End::Running)
        return;
    error = reason;
    stopAll();
    saveState();
    finish(how);
}

void SegmentedDownload::restartFresh(const QString &reason)
{
    if (restarted) {
        fail(FailureText("VerifiedTransfer", "The server sent another range or file twice"));
        return;
    }
    restarted = true;
    Logger::instance().log(
        Info, QStringLiteral("Restarting %1 from the first byte: %2")
                  .arg(target.name.isEmpty() ? target.url.toString() : target.name, reason));
    stopAll();
    QFile::remove(statePath());
    validator.clear();
    total = target.size;
    emit progress(0, total);
    if (!start())
        fail(error, End::WriteFailed);
}

void SegmentedDownload::stopAll()
{
    for (Segment &segment : segments) {
        if (QNetworkReply *reply = segment.reply) {
            segment.reply = nullptr;
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
        segment.tail.clear();
        segment.file.reset();
    }
    paceTimer->stop();
}

// One sequential pass over the part on a thread of its own: the lane's thread goes on with its
// other transfers meanwhile, and a cancel stops the pass at its next slice.
void SegmentedDownload::readBack()
{
    outcome = DigestingWriter::Result();
    outcome.written = true;
    const QString path = target.partPath;
    hasher = std::thread([this, path] {
        QFile part(path);
        platform::Sha256 digest;
        qint64 size = 0;
        bool readable = part.open(QIODevice::ReadOnly);
        std::vector<char> block(readSlice);
        while (readable && !abandoned.load()) {
            const qint64 read = part.read(block.data(), readSlice);
            if (read < 0)
                readable = false;
            if (read <= 0)
                break;
            digest.add(block.data(), size_t(read));
            size += read;
        }
        outcome.size = size;
        outcome.sha256 = QString::fromStdString(digest.hexResult());
        outcome.changedOnDisk = !readable;
        if (abandoned.load())
            return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                // A cancel since the pass ended has joined the thread and ended the transfer.
                if (hasher.joinable())
                    hasher.join();
                finish(End::Done);
            },
            Qt::QueuedConnection);
    });
}

void SegmentedDownload::cancel()
{
    abandoned = true;
    if (hasher.joinable())
        hasher.join();
    const bool running = ended == End::Running;
    if (running) {
        ended = End::Cancelled; // a write that fails now ends nothing more
        keepWhatArrived();
    }
    stopAll();
    if (running)
        saveState();
}

// The bytes that crossed the wire go to the part, past the speed limit: the next attempt asks
// only for the rest.
void SegmentedDownload::keepWhatArrived()
{
    for (int i = 0; i < int(segments.size()); ++i) {
        Segment &segment = segments[size_t(i)];
        if (QNetworkReply *reply = segment.reply; reply && segment.accepted) {
            reply->disconnect(this);
            if (auto *own = qobject_cast<HttpReply *>(reply))
                own->takeWhatArrived();
            segment.tail += reply->read(reply->bytesAvailable());
        }
        if (segment.file && !segment.tail.isEmpty())
            write(i, std::exchange(segment.tail, {}).left(segment.to + 1 - segment.next));
    }
}

void SegmentedDownload::finish(End how)
{
    if (ended != End::Running)
        return;
    ended = how;
    emit finished();
}

bool SegmentedDownload::keepOrDrop(bool keep)
{
    if (keep && target.resumable && !validator.isEmpty() && total > 0 && received() > 0) {
        saveState();
        return true;
    }
    QFile::remove(statePath());
    return false;
}
