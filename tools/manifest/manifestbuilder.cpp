#include "manifestbuilder.h"

#include "chunkstore.h"
#include "core/filedigest.h"
#include "files/parallelhasher.h"
#include "namecheck.h"
#include "zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// One cache serves every folder: a digest is found again only for the same path within the
// folder, size, time and inode, so a file of another folder can answer only if it is a hard link
// of the one that was hashed.
const QString cacheScope = QStringLiteral("wardgate-manifest: every folder");

// Problems listed one a line, and at most this many of them.
constexpr int maxListedProblems = 20;

// Appends `text` as a JSON string literal, quotes included.
void appendJsonString(std::string &out, QStringView text)
{
    out += '"';
    const bool plain = std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x80 && c != QLatin1Char('"') &&
               c != QLatin1Char('\\');
    });
    if (plain) {
        // Nearly every path and digest: copied in one go.
        const size_t at = out.size();
        out.resize(at + size_t(text.size()));
        std::transform(text.begin(), text.end(), out.begin() + qsizetype(at),
                       [](QChar c) { return char(c.unicode()); });
    } else {
        for (const char c : text.toUtf8()) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (byte < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xf];
            } else {
                out += c; // UTF-8 as it stands
            }
        }
    }
    out += '"';
}

// The regular files below `root` (hidden ones too; links to folders are not followed), its
// folders shared out among `threads` threads (0: one per core): on two cores, reading a large
// game's folders alone took as long as hashing a fifth of it.
QStringList listFiles(const QString &root, int threads)
{
    QStringList files;
    QStringList folders;
    QDirIterator top(root, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    while (top.hasNext()) {
        const QString path = top.next();
        const QFileInfo &info = top.fileInfo();
        if (info.isSymLink() ? info.isFile() : !info.isDir())
            files.append(path);
        else if (!info.isSymLink())
            folders.append(path);
    }

    std::vector<QStringList> found(size_t(folders.size()));
    std::atomic<int> next{0};
    const auto walk = [&] {
        for (int i = next++; i < folders.size(); i = next++) {
            QDirIterator it(folders.at(i), QDir::Files | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                found[size_t(i)].append(it.next());
        }
    };
    const int wanted = threads > 0 ? threads : QThread::idealThreadCount();
    std::vector<std::thread> helpers;
    for (int i = 1; i < std::min(wanted, int(folders.size())); ++i)
        helpers.emplace_back(walk);
    walk();
    for (std::thread &helper : helpers)
        helper.join();
    for (const QStringList &list : found)
        files += list;
    return files;
}

QString canonical(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
}

} // namespace

QString ManifestBuilder::defaultCacheFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/digests.cache");
}

ManifestBuilder::ManifestBuilder(ManifestOptions options, QObject *parent)
    : QObject(parent), options(std::move(options))
{}

bool ManifestBuilder::run()
{
    if (!QFileInfo(options.folder).isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(options.folder));
    if (!options.baseClientOutput.isEmpty() && options.baseClientUrl.isEmpty())
        return fail(QStringLiteral("a base client needs the URL it is served from"));

    // A key that cannot sign is refused before any file is read.
    if (!options.signingKey.isEmpty()) {
        QString problem;
        if (!signer.load(options.signingKey, &problem))
            return fail(QStringLiteral("--sign-key: %1").arg(problem));
    }

    QList<Found> found;
    QStringList digests;
    QString baseDigest;
    qint64 baseSize = 0;
    if (!scan(found) || !hash(found, digests))
        return false;
    if (!options.chunkFolder.isEmpty() && !cut(found, digests))
        return false;
    if (!options.baseClientOutput.isEmpty() && !writeBaseClient(found, baseDigest, baseSize))
        return false;
    return writeManifest(found, digests, baseDigest, baseSize);
}

bool ManifestBuilder::scan(QList<Found> &found)
{
    // Our own outputs are not game files, even when they are written into the game folder.
    QSet<QString> outputs;
    const QString signature = options.signingKey.isEmpty() ? QString() : options.output + ".sig";
    for (const QString &path :
         {options.output, options.baseClientOutput, options.cacheFile, signature}) {
        if (!path.isEmpty())
            outputs.insert(canonical(path));
    }

    // Below the resolved root every listed path is resolved too (links to folders are not
    // followed), so comparing texts is enough. Only names here: the sizes come with the digests,
    // from the open files, which spares every file a lookup of its own.
    const QString root = QFileInfo(options.folder).canonicalFilePath();
    QStringList paths;
    for (const QString &path : listFiles(root, options.threads)) {
        if (!outputs.contains(path))
            paths.append(path.mid(root.size() + 1));
    }
    paths.sort();

    const QStringList problems = refusedNames(paths);
    if (!problems.isEmpty()) {
        QStringList shown = problems.mid(0, maxListedProblems);
        if (problems.size() > maxListedProblems)
            shown.append(QStringLiteral("… and %1 more").arg(problems.size() - maxListedProblems));
        return fail(QStringLiteral("%1 name(s) in %2 would be refused by the launcher; rename "
                                   "or remove them:\n  %3")
                        .arg(problems.size())
                        .arg(options.folder, shown.join(QStringLiteral("\n  "))));
    }

    // Most likely a wrong path; published, it would make every launcher see a game of nothing.
    if (paths.isEmpty())
        return fail(QStringLiteral("no files in %1").arg(options.folder));
    found.reserve(paths.size());
    for (const QString &path : paths)
        found.append({path, -1});
    files = found.size();
    return true;
}

bool ManifestBuilder::hash(QList<Found> &found, QStringList &digests)
{
    QList<FileEntry> entries;
    entries.reserve(found.size());
    for (const Found &file : found)
        entries.append({file.path, file.size});

    ParallelHasher hasher;
    hasher.setThreadCount(options.threads);
    QList<HashResult> results;
    QEventLoop loop;
    // The sizes are learnt while hashing, so this stage counts files.
    connect(&hasher, &ParallelHasher::progress, this,
            [this](qint64, qint64, int filesDone) { emit progress(Hashing, filesDone, files); });
    connect(&hasher, &ParallelHasher::finished, &loop, [&](const QList<HashResult> &done, bool) {
        results = done;
        loop.quit();
    });
    hasher.start(QDir(options.folder).absolutePath(), entries, options.cacheFile, {}, cacheScope);
    loop.exec();

    digests.reserve(results.size());
    for (int i = 0; i < results.size(); ++i) {
        const HashResult &result = results.at(i);
        switch (result.outcome) {
        case HashResult::Hashed:
            digests.append(result.sha256);
            found[i].size = result.size;
            bytes += result.size;
            fromCache += result.fromCache ? 1 : 0;
            break;
        case HashResult::Unreadable:
            return fail(QStringLiteral("cannot read %1").arg(found.at(i).path));
        default:
            return fail(QStringLiteral("%1 changed while the folder was read; run again once "
                                       "it is no longer being written")
                            .arg(found.at(i).path));
        }
    }
    return true;
}

// Every file into the store, on every core: zstd and the chunker cost more than the digest.
bool ManifestBuilder::cut(const QList<Found> &found, const QStringList &digests)
{
    ChunkStore store(options.chunkFolder);
    QString problem;
    if (!store.open(&problem))
        return fail(problem);
    chunkLists = QList<QList<FileChunk>>(found.size());
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic<bool> failed{false};
    std::mutex problemMutex;
    const QDir root(options.folder);
    const auto work = [&] {
        for (int i = next++; i < found.size() && !failed; i = next++) {
            QString error;
            if (!store.chunksOf(root.filePath(found.at(i).path), digests.at(i), chunkLists[i],
                                &error)) {
                std::lock_guard<std::mutex> lock(problemMutex);
                problem = QStringLiteral("%1: %2").arg(found.at(i).path, error);
                failed = true;
            }
            ++done;
        }
    };
    const int wanted = options.threads > 0 ? options.threads : QThread::idealThreadCount();
    std::vector<std::thread> helpers;
    for (int i = 0; i < std::min(wanted, int(found.size())); ++i)
        helpers.emplace_back(work);
    // This thread only reports progress while the helpers cut.
    while (done < found.size() && !failed) {
        emit progress(Chunking, done, found.size());
        QThread::msleep(50);
    }
    for (std::thread &helper : helpers)
        helper.join();
    emit progress(Chunking, done, found.size());
    if (failed)
        return fail(QStringLiteral("chunk store: %1").arg(problem));
    newChunks = store.chunksWritten();
    newChunkStored = store.bytesWritten();
    if (!options.prune)
        return true;
    QSet<QString> files(digests.cbegin(), digests.cend());
    if (!store.prune(chunkLists, files, &pruned, &problem))
        return fail(QStringLiteral("chunk store: %1").arg(problem));
    return true;
}

bool ManifestBuilder::writeBaseClient(const QList<Found> &found, QString &digest, qint64 &size)
{
    ZipWriter zip(options.baseClientOutput,
                  options.compressBaseClient ? ZipWriter::Deflate : ZipWriter::Store);
    bool ok = zip.open();
    const QDir root(options.folder);
    qint64 done = 0;
    for (const Found &file : found) {
        if (!ok)
            break;
        ok = zip.addFileFrom(file.path, root.filePath(file.path));
        done += file.size;
        emit progress(Archiving, done, bytes);
    }
    if (!ok || !zip.close())
        return fail(QStringLiteral("base client: %1").arg(zip.errorString()));
    digest = fileSha256(options.baseClientOutput);
    size = QFileInfo(options.baseClientOutput).size();
    if (digest.isEmpty())
        return fail(QStringLiteral("cannot read back %1").arg(options.baseClientOutput));
    return true;
}

bool ManifestBuilder::writeManifest(const QList<Found> &found, const QStringList &digests,
                                    const QString &baseDigest, qint64 baseSize)
{
    // Written as text, in the layout the operators' guide shows: QJsonDocument took longer over
    // a large game than hashing it with a warm cache.
    std::string json;
    json.reserve(size_t(256 + found.size() * (options.urlBase.size() + 256)));
    json += "{\n    \"version\": ";
    appendJsonString(json, options.version);
    json += ",\n";
    if (!options.signingKey.isEmpty())
        json += "    \"published\": " + std::to_string(options.published) + ",\n";
    if (!options.chunkFolder.isEmpty()) {
        json += "    \"chunks_url\": ";
        appendJsonString(json, options.chunksUrl);
        json += ",\n";
    }
    if (!options.baseClientOutput.isEmpty()) {
        json += "    \"base_client\": {\n        \"url\": ";
        appendJsonString(json, options.baseClientUrl);
        json += ",\n        \"sha256\": ";
        appendJsonString(json, baseDigest);
        json += ",\n        \"size\": " + std::to_string(baseSize) + "\n    },\n";
    }
    json += "    \"files\": [";
    const QString urlBase = options.urlBase + QLatin1Char('/');
    for (int i = 0; i < found.size(); ++i) {
        json += i == 0 ? "\n" : ",\n";
        json += "        {\n            \"path\": ";
        appendJsonString(json, found[i].path);
        json += ",\n            \"size\": ";
        json += std::to_string(found[i].size);
        json += ",\n            \"sha256\": ";
        appendJsonString(json, digests[i]);
        if (!options.urlBase.isEmpty()) {
            json += ",\n            \"url\": ";
            appendJsonString(json, QString(urlBase + found[i].path));
        }
        if (!chunkLists.isEmpty() && !chunkLists.at(i).isEmpty()) {
            // One [digest, size, stored size] a chunk, one a line.
            json += ",\n            \"chunks\": [";
            const QList<FileChunk> &chunks = chunkLists.at(i);
            for (int c = 0; c < chunks.size(); ++c) {
                json += c == 0 ? "\n                [\"" : ",\n                [\"";
                json.append(chunks[c].sha256.constData(), size_t(chunks[c].sha256.size()));
                json += "\", " + std::to_string(chunks[c].size) + ", " +
                        std::to_string(chunks[c].stored) + "]";
            }
            json += "\n            ]";
        }
        json += "\n        }";
    }
    json += "\n    ]\n}\n";

    QSaveFile file(options.output);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(json.data(), qint64(json.size())) != qint64(json.size()) || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(options.output, file.errorString()));
    return options.signingKey.isEmpty() ||
           writeSignature(QByteArray::fromRawData(json.data(), int(json.size())));
}

// The signature covers the manifest's exact bytes, as `openssl dgst -sha256 -sign` would.
bool ManifestBuilder::writeSignature(const QByteArray &manifest)
{
    const QString path = options.output + QStringLiteral(".sig");
    const QByteArray signature = signer.sign(manifest);
    if (signature.isEmpty())
        return fail(QStringLiteral("cannot sign %1").arg(options.output));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(signature) != signature.size() ||
        !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

bool ManifestBuilder::fail(const QString &text)
{
    error = text;
    return false;
}
