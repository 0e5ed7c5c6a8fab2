#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <vector>

// SHA-256 digests of one folder's files remembered between scans, keyed by the relative path, the
// size, the modification time and the file's identity on its volume (device and inode where the
// system has them), so that a second scan of an unchanged folder reads no file. The identity lets
// one cache serve several folders safely: a hard link of a remembered file (the next release
// folder made with links to the last) is the same file, a copy with the same time is not.
// The cache is an optimisation only: a missing or damaged cache file loads as an empty cache, so
// the worst it can cost is hashing everything again.
class DigestCache
{
public:
    struct Entry
    {
        qint64 size = -1;
        qint64 modified = 0; // nanoseconds since the epoch, UTC
        quint64 device = 0;
        quint64 inode = 0;
        QString sha256;

        // The record of a file with this stamp and digest.
        static Entry of(const platform::FileStamp &stamp, const QString &sha256 = QString());
    };

    // A cache for `folder`, stored in `file`. `scope` names what the cache is for when it serves
    // more than one folder (the manifest tool's one cache for every release folder); empty: the
    // folder alone.
    DigestCache(QString file, QString folder, const QString &scope = QString());
    Q_DISABLE_COPY_MOVE(DigestCache)

    // The cache file for a folder, in the user's data folder: one file per folder.
    static QString defaultFile(const QString &folder);

    // Reads the file. False, with an empty cache, when it is missing, unreadable, damaged or
    // written for another folder.
    bool load();
    // Writes every entry to a temporary file and renames it over the old one, so a crash
    // leaves either the old cache or the new one, never half of one. The entries of `order`'s
    // paths come first, in that order: a next run that asks for the same files in the same order
    // finds each where it looks first.
    bool save(const QStringList &order = {}) const;

    // The remembered digest when the file's size, modification time and identity are the
    // remembered ones, otherwise empty. Safe to call from several threads while nothing changes
    // the cache. The path is UTF-8; `position` is where the entry is looked for first, its place
    // in the `order` of the last save. A remembered digest equal to `expected` comes back as
    // `expected` itself, shared.
    QString find(qsizetype position, QByteArrayView relativePath, const Entry &stamp,
                 const QString &expected = QString()) const;
    // True once a lookup found its entry elsewhere than at its position, or not at all.
    bool outOfOrder() const { return strayLookups.load(std::memory_order_relaxed); }
    // `entry.sha256` is 64 hex digits.
    void insert(const QString &relativePath, const Entry &entry);
    // True when there was an entry to remove.
    bool remove(const QString &relativePath);
    int size() const { return int(byPath().size()); }
    const QString &file() const { return cacheFile; }

    // The file's format on its own, for tests and the fuzzer: `read` accepts only a whole,
    // unchanged file written for this cache's folder, and otherwise leaves the cache empty.
    bool read(QByteArray data);
    QByteArray bytes(const QStringList &order = {}) const;

private:
    const QHash<QByteArrayView, const char *> &byPath() const;

    QString cacheFile;
    QString folderKey;
    // Every entry is one packed record (its stamp, its digest, its path), found by its path in
    // UTF-8. The records read from the file stay where the file's bytes were read, those added
    // since each in a buffer of its own: a cache of tens of thousands of files then loads with a
    // handful of allocations.
    QByteArray loaded;
    std::vector<QByteArray> added;
    // The loaded records in the file's order. While nothing is changed, a run over the files of
    // the last save, in its order, finds every entry here: an unchanged folder checked before is
    // checked at about the cost of its sizes and times alone, without a table of its paths.
    std::vector<const char *> inFileOrder;
    mutable std::atomic<bool> strayLookups{false};
    // Every entry by its path, made on the first lookup that needs it.
    mutable QHash<QByteArrayView, const char *> index;
    mutable std::atomic<bool> indexed{false};
    mutable std::mutex indexing;
};
