#pragma once

#include "files/manifest.h"

#include <QList>
#include <QObject>

class ParallelHasher;
struct HashResult;

// The full check of the game folder that the player asks for: the SHA-256 of every manifest file
// that is there with the right size, on worker threads. It reads every byte whatever the digest
// cache remembers (a file changed behind the launcher's back may keep its size and time), and
// leaves what it learnt in the cache for the verification pass. Hands back what needs
// downloading: missing files, files of the wrong size and files of the wrong content.
class FileScanner : public QObject
{
    Q_OBJECT

public:
    explicit FileScanner(QObject *parent = nullptr);

    // `cacheFile` empty: the cache file of `gameDirectory` in the user's data folder.
    void start(const QList<FileEntry> &files, const QString &gameDirectory,
               const QString &cacheFile = QString());
    // Stops within a block of reading; nothing on disk changes, `cancelled` follows.
    void cancel();
    bool isRunning() const;

signals:
    void progress(qint64 done, qint64 total);
    void finished(const QList<FileEntry> &toRepair, int checked, int missing, int corrupted);
    void cancelled();

private:
    void onHashed(const QList<HashResult> &results, bool wasCancelled);

    ParallelHasher *hasher;
    QList<FileEntry> files;
};
