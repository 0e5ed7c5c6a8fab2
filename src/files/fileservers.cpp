#include "files/fileservers.h"

#include "core/logger.h"
#include "files/manifest.h"
#include "net/verifiedtransfer.h"

void FileServers::reset(const QString &baseUrl, const QStringList &mirrors)
{
    QStringList chosen{baseUrl};
    if (!baseUrl.isEmpty()) {
        for (const QString &mirror : mirrors) {
            QString base = mirror.trimmed();
            while (base.endsWith(QLatin1Char('/')))
                base.chop(1);
            if (!base.isEmpty() && !chosen.contains(base))
                chosen.append(base);
        }
    } else if (!mirrors.isEmpty()) {
        Logger::instance().log(
            Warn, QStringLiteral("files_mirrors ignored: they stand in for files_base_url, "
                                 "which the remote configuration does not set"));
    }
    std::lock_guard<std::mutex> lock(mutex);
    bases = chosen;
    avoided = QList<bool>(bases.size(), false);
}

int FileServers::count() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(bases.size());
}

int FileServers::chooseLocked(int from) const
{
    const int n = int(bases.size());
    if (n <= 1)
        return 0;
    from = qBound(0, from, n - 1);
    for (int i = 0; i < n; ++i) {
        const int server = (from + i) % n;
        if (!avoided[server])
            return server;
    }
    return from;
}

int FileServers::choose(int from) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return chooseLocked(from);
}

int FileServers::after(int server) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bases.size() <= 1 ? 0 : chooseLocked((server + 1) % int(bases.size()));
}

bool FileServers::fail(int server)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (bases.size() <= 1 || server < 0 || server >= bases.size())
        return false;
    avoided[server] = true;
    if (avoided.contains(false))
        return true;
    avoided.fill(false);
    return false;
}

void FileServers::route(FileEntry &entry, TransferTarget &target) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const int server = chooseLocked(entry.server);
    if (server == entry.server)
        return;
    entry.server = server;
    target.url = QUrl(server == 0 ? entry.url : fileUrl(bases[server], entry.path));
}

QString FileServers::url(int server, const QString &path, const QString &url) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (server <= 0 || server >= bases.size())
        return url;
    return fileUrl(bases[server], path);
}

QString FileServers::name(int server) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return server >= 0 && server < bases.size() ? bases[server] : QString();
}
