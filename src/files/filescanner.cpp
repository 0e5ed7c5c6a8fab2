#include "files/filescanner.h"

#include "core/bytesize.h"
#include "core/logger.h"
#include "files/digestcache.h"
#include "files/parallelhasher.h"

FileScanner::FileScanner(QObject *parent) : QObject(parent), hasher(new ParallelHasher(this))
{
    // The player asked for every byte to be read; what is read is still remembered.
    hasher->setTrustCache(false);
    connect(hasher, &ParallelHasher::progress, this, &FileScanner::progress);
    connect(hasher, &ParallelHasher::finished, this, &FileScanner::onHashed);
}

bool FileScanner::isRunning() const
{
    return hasher->isRunning();
}

void FileScanner::start(const QList<FileEntry> &entries, const QString &gameDirectory,
                        const QString &cacheFile)
{
    if (isRunning())
        return;
    files = entries;
    qint64 bytes = 0;
    for (const FileEntry &entry : files)
        bytes += entry.size;
    Logger::instance().log(Info, QStringLiteral("Scanning %1 game files (%2 MB) in %3")
                                     .arg(QString::number(files.size()),
                                          bytesIn(bytes, ByteUnit::Megabytes, 2), gameDirectory));
    hasher->start(gameDirectory, files,
                  cacheFile.isEmpty() ? DigestCache::defaultFile(gameDirectory) : cacheFile);
}

void FileScanner::cancel()
{
    hasher->cancel();
}

void FileScanner::onHashed(const QList<HashResult> &results, bool wasCancelled)
{
    Logger &log = Logger::instance();
    if (wasCancelled) {
        log.log(Info, QStringLiteral("Scan cancelled"));
        emit cancelled();
        return;
    }
    QList<FileEntry> toRepair;
    int missing = 0;
    int corrupted = 0;
    for (int i = 0; i < results.size(); ++i) {
        const HashResult &result = results.at(i);
        const FileEntry &entry = files.at(i);
        if (result.outcome == HashResult::Hashed && result.sha256 == entry.sha256)
            continue;
        if (result.outcome == HashResult::Missing) {
            ++missing;
            log.log(Debug, QStringLiteral("Missing: %1").arg(entry.path));
        } else {
            ++corrupted;
            log.log(Debug, QStringLiteral("Corrupted: %1").arg(entry.path));
        }
        FileEntry queued = entry;
        queued.attempts = 0;
        toRepair.append(queued);
    }
    log.log(Info, QStringLiteral("Scan found %1 missing and %2 corrupted of %3 files")
                      .arg(QString::number(missing), QString::number(corrupted),
                           QString::number(results.size())));
    emit finished(toRepair, results.size(), missing, corrupted);
}
