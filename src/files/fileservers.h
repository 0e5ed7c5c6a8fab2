#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

struct FileEntry;
struct TransferTarget;

// The servers one download batch fetches game files from: `files_base_url` first, then the
// mirrors of `files_mirrors` in their order, each serving the same files under the same paths.
// A server that failed as a host (unreachable, a 5xx answer, stalled) is avoided for the rest of
// the batch; once every one has failed that way, all are tried again. Shared by the batch and its
// lanes: a lane marks a failed host the moment its transfer ends, before it starts the next file.
class FileServers
{
public:
    // A new batch: nobody is avoided. Mirrors without a base URL have nothing to stand in for
    // and are left out (the manifest's own URLs are then the only ones).
    void reset(const QString &baseUrl, const QStringList &mirrors);
    int count() const;
    // The server a new attempt asks: the first one not avoided, counting from `from` on and
    // starting over at the first; `from` itself when nothing else is left.
    int choose(int from = 0) const;
    // The next server after `server` (another one when there is one): a file found wrong there
    // is asked for elsewhere.
    int after(int server) const;
    // Avoids `server` for the rest of the batch. False when that was the last one left: then
    // every server is tried again.
    bool fail(int server);
    // Sends a file about to start to a server not avoided, with that server's URL.
    void route(FileEntry &entry, TransferTarget &target) const;
    // The URL of the file at `path` on `server`; server 0 keeps the manifest's own `url`.
    QString url(int server, const QString &path, const QString &url) const;
    QString name(int server) const;

private:
    int chooseLocked(int from) const;

    mutable std::mutex mutex;
    QStringList bases;
    QList<bool> avoided;
};
