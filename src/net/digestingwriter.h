#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QFile;

// Writes a download's bytes to its file and feeds them to SHA-256 on a thread of its own, so the
// thread that reads the network only hands chunks over. The hand-off is a plain queue under a
// mutex (no queued Qt signals), bounded: a writer that falls behind holds the reader back.
// With Mode::CallersThread write() writes and hashes at once instead: for a small file, a thread
// of its own costs more than the work. Before it reports a file written, the writer reads it back
// from disk: another program (a second launcher on the same folder, a player's tool) may have
// truncated or written the file under it, and only the bytes on disk take the file's name.
class DigestingWriter
{
public:
    enum class Mode
    {
        OwnThread,
        CallersThread
    };

    struct Result
    {
        bool written = false;    // every byte reached the file
        qint64 size = 0;         // bytes in the file, including those it held at the start
        QString sha256;          // lower-case hex digest of the whole file
        QString error;           // why a write failed
        bool outOfSpace = false; // it failed for lack of room on the disk
        // Bytes handed over that did not reach the file, once a write had failed.
        qint64 unwritten = 0;
        // finishLater() read the file back and found other bytes than those handed over.
        bool changedOnDisk = false;
    };
    using Notify = std::function<void()>;

    // `file` is open for writing at its end and already holds `existing` bytes (a transfer
    // resumed), which are read back into the digest first. `readBackDone` runs once they are in:
    // on the writer's thread with Mode::OwnThread, so the caller's thread never waits for them.
    DigestingWriter(std::unique_ptr<QFile> file, qint64 existing, Mode mode = Mode::OwnThread,
                    Notify readBackDone = {});
    ~DigestingWriter();
    DigestingWriter(const DigestingWriter &) = delete;
    DigestingWriter &operator=(const DigestingWriter &) = delete;

    // Queues a chunk; waits while more than the bound is queued. False once a write has failed.
    bool write(QByteArray chunk);
    // Empties the file and the digest: the server sends the whole body after all.
    void restart();
    // Writes what is queued, then reads the file back and compares it with what was hashed;
    // `done` runs when finish() no longer waits (on the writer's thread, or at once with
    // Mode::CallersThread).
    void finishLater(Notify done);
    // Stops the read-back and the check at their next block and drops the chunks still queued, so
    // that a cancel never waits for hashing; the file keeps a prefix of what was handed over.
    // With `keepHandedOver` the queued chunks are still written: a cancel keeps what arrived.
    void abandon(bool keepHandedOver = false);
    // Waits until everything queued is written, closes the file and tells the outcome.
    Result finish();
    bool failed() const { return writeFailed.load(); }

private:
    struct Item
    {
        bool restart = false;
        QByteArray data;
    };
    void readBack(qint64 existing);
    void run();
    void finishWork();
    void checkOnDisk();
    void apply(const Item &item);
    void fail(const QString &error, bool outOfSpace = false);

    std::unique_ptr<QFile> file;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> queue;
    qint64 queuedBytes = 0;
    bool stopping = false;
    bool checkRequested = false;
    Notify onFinishLater;
    bool finished = false;
    bool workDone = false; // the writer's: finishWork() has run
    std::atomic<bool> writeFailed{false};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> dropQueued{false};
    Notify onReadBack;
    // Owned by the worker, if there is one, until it is joined.
    Result result;
    platform::Sha256 hash;
    std::thread worker;
};
