#pragma once

#include <QObject>
#include <QString>

#include "files/manifest.h"
#include "signer.h"

#include <QList>

struct ManifestOptions
{
    QString folder;  // the game folder
    QString output;  // manifest.json to write
    QString version; // the manifest's version text
    // When set, every file gets "url" = urlBase + "/" + its path.
    QString urlBase;
    // When set, the whole folder is also written as this zip and named in "base_client" with
    // baseClientUrl as its URL.
    QString baseClientOutput;
    QString baseClientUrl;
    bool compressBaseClient = true;
    // Digests remembered by path within the folder, size, modification time and inode, for
    // every folder the operator writes a manifest of; empty: hash every file.
    QString cacheFile;
    int threads = 0; // 0: one per core
    // When set: the ECDSA P-256 private key (PEM) that signs the manifest. The manifest then
    // carries "published" and its signature is written beside it as "<output>.sig".
    QString signingKey;
    qint64 published = 0; // seconds since 1970-01-01 UTC
    // When set: every file is also cut into this chunk store, the manifest lists its chunks and
    // names the store as chunksUrl (absolute, or relative to the launcher's files_base_url).
    QString chunkFolder;
    QString chunksUrl;
    // Removes from the store every chunk this manifest does not list.
    bool prune = false;
};

// Builds the manifest of a game folder: lists its files, refuses names the launcher would refuse,
// hashes them on every core (skipping those the cache vouches for), writes the base-client zip
// when asked, and writes the manifest. Every output appears whole under its name or not at all.
class ManifestBuilder : public QObject
{
    Q_OBJECT

public:
    enum Stage
    {
        Hashing,
        Archiving,
        Chunking
    };
    Q_ENUM(Stage)

    explicit ManifestBuilder(ManifestOptions options, QObject *parent = nullptr);

    // The operator's one digest cache, in the user's data folder: every release folder shares
    // it, so the next release's hard links to unchanged files are not read again.
    static QString defaultCacheFile();

    // Runs every step, with an event loop of its own while the files are hashed. False, with
    // errorString() set, when a step fails.
    bool run();
    QString errorString() const { return error; }

    int fileCount() const { return files; }
    qint64 byteCount() const { return bytes; }
    int cachedCount() const { return fromCache; }
    // Chunks new to the store, their stored bytes, and the chunks pruned.
    int newChunkCount() const { return newChunks; }
    qint64 newChunkBytes() const { return newChunkStored; }
    int prunedChunkCount() const { return pruned; }

signals:
    // Hashing counts files, archiving bytes.
    void progress(ManifestBuilder::Stage stage, qint64 done, qint64 total);

private:
    struct Found
    {
        QString path;
        qint64 size = -1; // known once hashed
    };

    bool scan(QList<Found> &found);
    // Fills in the sizes found while hashing.
    bool hash(QList<Found> &found, QStringList &digests);
    bool writeBaseClient(const QList<Found> &found, QString &digest, qint64 &size);
    bool cut(const QList<Found> &found, const QStringList &digests);
    bool writeManifest(const QList<Found> &found, const QStringList &digests,
                       const QString &baseDigest, qint64 baseSize);
    bool fail(const QString &text);
    bool writeSignature(const QByteArray &manifest);

    ManifestOptions options;
    Signer signer;
    QString error;
    int files = 0;
    qint64 bytes = 0;
    int fromCache = 0;
    QList<QList<FileChunk>> chunkLists; // per file, when a store is written
    int newChunks = 0;
    qint64 newChunkStored = 0;
    int pruned = 0;
};
