#include "manifestbuilder.h"

#include "core/filedigest.h"
#include "core/parallelhasher.h"
#include "namecheck.h"
#include "zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>
#include <QSet>

namespace {

// Problems listed one a line, and at most this many of them.
constexpr int maxListedProblems = 20;

QString canonical(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
}

} // namespace

ManifestBuilder::ManifestBuilder(ManifestOptions options, QObject *parent)
    : QObject(parent), options(std::move(options))
{}

bool ManifestBuilder::run()
{
    if (!QFileInfo(options.folder).isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(options.folder));
    if (!options.baseClientOutput.isEmpty() && options.baseClientUrl.isEmpty())
        return fail(QStringLiteral("a base client needs the URL it is served from"));

    QList<Found> found;
    QStringList digests;
    QString baseDigest;
    qint64 baseSize = 0;
    if (!scan(found) || !hash(found, digests))
        return false;
    if (!options.baseClientOutput.isEmpty() && !writeBaseClient(found, baseDigest, baseSize))
        return false;
    return writeManifest(found, digests, baseDigest, baseSize);
}

bool ManifestBuilder::scan(QList<Found> &found)
{
    // Our own outputs are not game files, even when they are written into the game folder.
    QSet<QString> outputs;
    for (const QString &path : {options.output, options.baseClientOutput, options.cacheFile}) {
        if (!path.isEmpty())
            outputs.insert(canonical(path));
    }

    // Below the resolved root every listed path is resolved too (links to folders are not
    // followed), so comparing texts is enough.
    const QString root = QFileInfo(options.folder).canonicalFilePath();
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    QMap<QString, qint64> sizes;
    while (it.hasNext()) {
        const QString path = it.next();
        if (!outputs.contains(path))
            sizes.insert(path.mid(root.size() + 1), it.fileInfo().size());
    }
    const QStringList paths = sizes.keys();

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
    if (sizes.isEmpty())
        return fail(QStringLiteral("no files in %1").arg(options.folder));
    for (auto entry = sizes.cbegin(); entry != sizes.cend(); ++entry) {
        found.append({entry.key(), entry.value()});
        bytes += entry.value();
    }
    files = found.size();
    return true;
}

bool ManifestBuilder::hash(const QList<Found> &found, QStringList &digests)
{
    QList<HashJob> jobs;
    jobs.reserve(found.size());
    for (const Found &file : found)
        jobs.append({file.path, file.size});

    ParallelHasher hasher;
    hasher.setThreadCount(options.threads);
    QList<HashResult> results;
    QEventLoop loop;
    connect(&hasher, &ParallelHasher::progress, this,
            [this](qint64 done, qint64 total) { emit progress(Hashing, done, total); });
    connect(&hasher, &ParallelHasher::finished, &loop, [&](const QList<HashResult> &done, bool) {
        results = done;
        loop.quit();
    });
    hasher.start(QDir(options.folder).absolutePath(), jobs, options.cacheFile);
    loop.exec();

    for (const HashResult &result : results) {
        switch (result.outcome) {
        case HashResult::Hashed:
            digests.append(result.sha256);
            fromCache += result.fromCache ? 1 : 0;
            break;
        case HashResult::Unreadable:
            return fail(QStringLiteral("cannot read %1").arg(result.relativePath));
        default:
            return fail(QStringLiteral("%1 changed while the folder was read; run again once "
                                       "it is no longer being written")
                            .arg(result.relativePath));
        }
    }
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
    QJsonArray entries;
    for (int i = 0; i < found.size(); ++i) {
        QJsonObject entry{{QStringLiteral("path"), found[i].path},
                          {QStringLiteral("size"), double(found[i].size)},
                          {QStringLiteral("sha256"), digests[i]}};
        if (!options.urlBase.isEmpty())
            entry.insert(QStringLiteral("url"), options.urlBase + QLatin1Char('/') + found[i].path);
        entries.append(entry);
    }
    QJsonObject root{{QStringLiteral("version"), options.version},
                     {QStringLiteral("files"), entries}};
    if (!options.baseClientOutput.isEmpty())
        root.insert(QStringLiteral("base_client"),
                    QJsonObject{{QStringLiteral("url"), options.baseClientUrl},
                                {QStringLiteral("sha256"), baseDigest},
                                {QStringLiteral("size"), double(baseSize)}});

    QSaveFile file(options.output);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) < 0 || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(options.output, file.errorString()));
    return true;
}

bool ManifestBuilder::fail(const QString &text)
{
    error = text;
    return false;
}
