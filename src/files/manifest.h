#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// One piece of a file in the chunk store: named there by the SHA-256 of its own bytes, stored as
// zstd when `stored` is below `size`, plain when they are equal.
struct FileChunk
{
    QByteArray sha256; // 64 lower-case hex characters
    qint64 size = 0;
    qint64 stored = 0;
};

// One game file: where it goes below the game directory, what it must be, where it comes from.
struct FileEntry
{
    QString path; // relative to the game directory, "/" separated, as the manifest gives it
    qint64 size = 0;
    QString sha256 = {}; // lower-case hex; empty where not yet known (a folder being published)
    QString url = {};
    int attempts = 0; // failed downloads so far
    int server = 0;   // which of the batch's file servers (FileServers) its next attempt asks
    // The file's chunks in order and the store that holds them; empty: it travels whole only.
    QList<FileChunk> chunks = {};
    QString chunkStore = {};
    // A chunk of it was refused (wrong bytes, too large): its next attempt fetches it whole.
    bool wholeFile = false;
};

// The optional whole-client archive.
struct BaseClientInfo
{
    QString url;
    QString sha256; // lower-case hex; empty: the archive is not checked
    qint64 size = 0;
};

// The parsed manifest document.
struct Manifest
{
    QString version;
    // "published" and "expires", whole seconds since 1970-01-01 UTC: -1 when absent, -2 when
    // present but no such number.
    qint64 published = -1;
    qint64 expires = -1;
    QList<FileEntry> files;
    BaseClientInfo baseClient; // kept when a newer document has no "base_client"
    QString error;             // the last problem parse() met
    int refusedEntries = 0;    // entries of "files" dropped as invalid

    // Reads the document in `bytes`; a caller that moves them in has them freed as soon as they
    // are read, and the document's own form shrinks as its entries are taken: a manifest of
    // 200,000 files is never held in three forms at once. "chunks_url" and each file's "chunks"
    // say where a file can be rebuilt from chunks; a list that does not add up to its file is
    // dropped (the file then travels whole).
    bool parse(QByteArray bytes);
};

// The most a chunk may declare: it is held in memory whole while it is checked.
constexpr qint64 maxChunkBytes = 16 << 20;

// Bytes that travel for `entry` when nothing of it is found locally: its distinct chunks as
// stored, or the whole file.
qint64 transferSize(const FileEntry &entry);

// Where the chunk named `sha256` lies in the store at `storeUrl`.
QString chunkUrl(const QString &storeUrl, const QByteArray &sha256);

// The name under which a file is downloaded, beside its final place, until it has been checked.
QString temporaryPathFor(const QString &path);

// The URL of the game file at `path` below a server's base URL: a name's "%", "#" and "?" are
// part of the name, never of the URL's syntax.
QString fileUrl(const QString &baseUrl, const QString &path);

// True when `path` names a file strictly inside the folder it is joined to: relative, no ".."
// segment, no backslash, no drive letter, and something left after normalisation.
bool isSafeRelativePath(const QString &path);
