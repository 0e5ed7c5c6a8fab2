#include "rangedfile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <optional>

namespace {

struct ByteRange
{
    qint64 first = 0;
    qint64 last = 0; // inclusive
};

// The validator changes whenever the file's size or time does, as nginx's does.
QByteArray entityTag(const QFileInfo &info)
{
    return '"' + QByteArray::number(info.lastModified().toMSecsSinceEpoch(), 16) + '-' +
           QByteArray::number(info.size(), 16) + '"';
}

QByteArray httpDate(const QDateTime &time)
{
    return QLocale::c()
        .toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

// nullopt: no usable single range, the whole file is sent. A range starting at or past the end
// comes back with first == size, which the caller answers with 416.
std::optional<ByteRange> parseRange(const QByteArray &header, qint64 size)
{
    static const QRegularExpression form(QStringLiteral("^\\s*bytes=(\\d*)-(\\d*)\\s*$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(header));
    if (!match.hasMatch() || (match.capturedLength(1) == 0 && match.capturedLength(2) == 0))
        return std::nullopt;
    bool ok = true;
    if (match.capturedLength(1) == 0) {
        const qint64 suffix = match.captured(2).toLongLong(&ok);
        if (!ok || suffix == 0)
            return ok ? std::optional<ByteRange>(ByteRange{size, size}) : std::nullopt;
        return ByteRange{qMax<qint64>(0, size - suffix), size - 1};
    }
    const qint64 first = match.captured(1).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    if (first >= size)
        return ByteRange{size, size};
    qint64 last = size - 1;
    if (match.capturedLength(2) > 0) {
        last = match.captured(2).toLongLong(&ok);
        if (!ok || last < first)
            return std::nullopt;
        last = qMin(last, size - 1);
    }
    return ByteRange{first, last};
}

} // namespace

DevServer::Reply rangedFileReply(const DevServer::Request &request, const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return DevServer::Reply::notFound();
    DevServer::Reply reply = DevServer::Reply::file(info.absoluteFilePath());
    const QByteArray tag = entityTag(info);
    const QByteArray modified = httpDate(info.lastModified());
    reply.headers = {{"Accept-Ranges", "bytes"}, {"ETag", tag}, {"Last-Modified", modified}};

    const QByteArray rangeHeader = request.header("Range");
    const QByteArray ifRange = request.header("If-Range").trimmed();
    if (rangeHeader.isEmpty() || (!ifRange.isEmpty() && ifRange != tag && ifRange != modified))
        return reply;
    const qint64 size = info.size();
    const std::optional<ByteRange> range = parseRange(rangeHeader, size);
    if (!range)
        return reply;
    if (range->first >= size) {
        DevServer::Reply refused = DevServer::Reply::text("Range Not Satisfiable", 416);
        refused.headers = {{"Content-Range", "bytes */" + QByteArray::number(size)}};
        return refused;
    }
    reply.status = 206;
    reply.fileOffset = range->first;
    reply.fileLength = range->last - range->first + 1;
    reply.headers.append({"Content-Range", "bytes " + QByteArray::number(range->first) + '-' +
                                               QByteArray::number(range->last) + '/' +
                                               QByteArray::number(size)});
    return reply;
}
