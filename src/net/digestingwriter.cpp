#include "net/digestingwriter.h"

#include "net/diskwrite.h"

#include <QFile>

#include <vector>

namespace {
// Written and hashed in slices that stay in the core's cache between the two.
constexpr qint64 sliceSize = 64 << 10;
// Most a slow disk lets pile up before the network reader waits for it.
constexpr qint64 maxQueuedBytes = 8 << 20;
} // namespace

DigestingWriter::DigestingWriter(std::unique_ptr<QFile> file, qint64 existing, Mode mode,
                                 Notify readBackDone)
    : file(std::move(file)), onReadBack(std::move(readBackDone))
{
    result.written = true;
    if (mode == Mode::CallersThread) {
        readBack(existing);
        if (onReadBack)
            onReadBack();
        return;
    }
    worker = std::thread([this, existing] {
        readBack(existing);
        if (onReadBack)
            onReadBack();
        run();
    });
}

DigestingWriter::~DigestingWriter()
{
    if (!finished)
        finish();
}

bool DigestingWriter::write(QByteArray chunk)
{
    if (chunk.isEmpty())
        return !failed();
    if (!worker.joinable()) {
        apply(Item{false, std::move(chunk)});
        return !failed();
    }
    // The writer's thread must be the only one holding the bytes: a chunk still shared with the
    // caller would have its reference count touched from two threads.
    chunk.detach();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return queuedBytes < maxQueuedBytes || writeFailed.load(); });
    if (writeFailed.load())
        return false;
    queuedBytes += chunk.size();
    queue.push_back(Item{false, std::move(chunk)});
    changed.notify_all();
    return true;
}

void DigestingWriter::restart()
{
    if (!worker.joinable()) {
        apply(Item{true, QByteArray()});
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(Item{true, QByteArray()});
    changed.notify_all();
}

void DigestingWriter::finishLater(Notify done)
{
    if (!worker.joinable()) {
        checkRequested = true;
        finishWork();
        done();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    checkRequested = true;
    onFinishLater = std::move(done);
    stopping = true;
    changed.notify_all();
}

void DigestingWriter::abandon(bool keepHandedOver)
{
    std::lock_guard<std::mutex> lock(mutex);
    abandoned = true;
    dropQueued = !keepHandedOver;
    changed.notify_all();
}

DigestingWriter::Result DigestingWriter::finish()
{
    if (worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            changed.notify_all();
        }
        worker.join();
    } else {
        finishWork();
    }
    finished = true;
    file->close();
    return result;
}

// The last steps on the writer's thread: the digest, the flush and, when asked, the check.
void DigestingWriter::finishWork()
{
    if (workDone)
        return;
    workDone = true;
    if (result.written)
        result.sha256 = QString::fromStdString(hash.hexResult());
    if (result.written && !file->flush()) {
        result.written = false;
        result.error = file->errorString();
    }
    if (result.written && checkRequested)
        checkOnDisk();
}

void DigestingWriter::checkOnDisk()
{
    QFile onDisk(file->fileName());
    if (!onDisk.open(QIODevice::ReadOnly)) {
        result.changedOnDisk = true;
        return;
    }
    platform::Sha256 again;
    std::vector<char> block(sliceSize);
    qint64 total = 0;
    while (!abandoned.load()) {
        const qint64 read = onDisk.read(block.data(), sliceSize);
        if (read < 0) {
            result.changedOnDisk = true;
            return;
        }
        if (read == 0)
            break;
        again.add(block.data(), size_t(read));
        total += read;
    }
    if (!abandoned.load())
        result.changedOnDisk =
            total != result.size || QString::fromStdString(again.hexResult()) != result.sha256;
}

void DigestingWriter::fail(const QString &error, bool outOfSpace)
{
    result.written = false;
    result.error = error;
    result.outOfSpace = outOfSpace;
    std::lock_guard<std::mutex> lock(mutex);
    writeFailed = true;
    changed.notify_all();
}

// Bytes of an earlier attempt: they count in the digest of the whole file.
void DigestingWriter::readBack(qint64 existing)
{
    if (existing <= 0)
        return;
    QFile earlier(file->fileName());
    std::vector<char> block(sliceSize);
    qint64 left = existing;
    if (earlier.open(QIODevice::ReadOnly)) {
        while (left > 0 && !abandoned.load()) {
            const qint64 read = earlier.read(block.data(), qMin(left, sliceSize));
            if (read <= 0)
                break;
            hash.add(block.data(), size_t(read));
            left -= read;
        }
    }
    if (left > 0)
        fail(QStringLiteral("cannot read back %1").arg(file->fileName()));
    result.size = existing - left;
}

// Runs on the worker: applies what is queued until finish() or finishLater() says stop.
void DigestingWriter::run()
{
    Notify done;
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return !queue.empty() || stopping; });
            if (queue.empty()) {
                done = std::move(onFinishLater);
                break;
            }
            item = std::move(queue.front());
            queue.pop_front();
            queuedBytes -= item.data.size();
            changed.notify_all();
        }
        apply(item);
    }
    finishWork();
    if (done)
        done();
}

void DigestingWriter::apply(const Item &item)
{
    if (item.restart) {
        hash.reset();
        result.size = 0;
        if (!file->resize(0) || !file->seek(0))
            fail(file->errorString());
        return;
    }
    // Drained, so the reader never waits on a writer that gave up or was abandoned. A restart
    // above still empties the file: what stays must be a prefix of the current body.
    if (!result.written || dropQueued.load()) {
        if (!result.written)
            result.unwritten += item.data.size();
        return;
    }
    for (qint64 at = 0; at < item.data.size(); at += sliceSize) {
        const qint64 length = qMin(sliceSize, item.data.size() - at);
        if (!writeFully(*file, item.data.constData() + at, length)) {
            result.unwritten += item.data.size() - at;
            fail(file->errorString(), ranOutOfSpace(*file));
            return;
        }
        hash.add(item.data.constData() + at, size_t(length));
        result.size += length;
    }
}
