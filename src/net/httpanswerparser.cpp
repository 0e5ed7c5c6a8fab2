#include "net/httpanswerparser.h"

#include <QIODevice>

namespace {
// A head longer than this is not an answer worth reading.
constexpr qint64 maxHeadBytes = 64 * 1024;

bool hasToken(const QByteArray &list, const char *token)
{
    const QList<QByteArray> items = list.split(',');
    for (const QByteArray &item : items) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
} // namespace

QByteArray HttpAnswerParser::header(const char *name) const
{
    QByteArray value;
    for (const auto &field : fields) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            value += (value.isEmpty() ? "" : ", ") + field.second;
    }
    return value;
}

HttpAnswerParser::Step HttpAnswerParser::next(QIODevice *device, QByteArray *piece)
{
    for (;;) {
        switch (stage) {
        case Stage::Head:
            return readHead(device);
        case Stage::Body:
        case Stage::ChunkData:
            return readBody(device, piece);
        case Stage::ChunkSize:
        case Stage::ChunkEnd:
        case Stage::Trailer:
            if (!readChunkLine(device))
                return stage == Stage::Failed ? Step::Failed : Step::NeedMore;
            break;
        case Stage::Done:
            return Step::Done;
        case Stage::Failed:
            return Step::Failed;
        }
    }
}

HttpAnswerParser::Step HttpAnswerParser::fail(const QString &why)
{
    stage = Stage::Failed;
    failure = why;
    return Step::Failed;
}

// A whole line without its end, counted against the head's bound; false while it is not all in.
bool HttpAnswerParser::readLine(QIODevice *device, QByteArray *line)
{
    if (!device->canReadLine()) {
        if (lineBytes + device->bytesAvailable() > maxHeadBytes)
            fail(QStringLiteral("The server's answer has a line too long"));
        return false;
    }
    *line = device->readLine();
    lineBytes += line->size();
    if (lineBytes > maxHeadBytes) {
        fail(QStringLiteral("The server's answer has a head too long"));
        return false;
    }
    line->chop(line->endsWith("\r\n") ? 2 : 1);
    return true;
}

HttpAnswerParser::Step HttpAnswerParser::readHead(QIODevice *device)
{
    QByteArray line;
    while (readLine(device, &line)) {
        if (code == 0) {
            // "HTTP/1.1 200 OK"
            const bool valid = line.size() >= 12 && line.startsWith("HTTP/1.") && line[8] == ' ';
            code = valid ? line.mid(9, 3).toInt() : 0;
            if (code < 100 || code > 999)
                return fail(QStringLiteral("The server's answer is not HTTP"));
            http10 = line[7] == '0';
            phrase = line.mid(13);
        } else if (!line.isEmpty()) {
            if ((line[0] == ' ' || line[0] == '\t') && !fields.isEmpty()) {
                fields.last().second += ' ' + line.trimmed();
                continue;
            }
            const int colon = line.indexOf(':');
            if (colon <= 0)
                return fail(QStringLiteral("The server's answer has a broken header"));
            fields.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        } else if (code < 200) {
            // An interim answer (100 Continue, 103 Early Hints); the real one follows.
            code = 0;
            fields.clear();
        } else {
            return startBody();
        }
    }
    return stage == Stage::Failed ? Step::Failed : Step::NeedMore;
}

HttpAnswerParser::Step HttpAnswerParser::startBody()
{
    const QByteArray lengthText = header("Content-Length");
    const QByteArray encoding = header("Transfer-Encoding");
    const bool chunked = hasToken(encoding, "chunked");
    // Two framings at once, or one that HTTP/1.0 does not have: the body's end is a guess, and a
    // wrong guess would hand the rest of the connection to the next answer (RFC 9112, 6.1, 6.3).
    if (!encoding.isEmpty() && http10)
        return fail(QStringLiteral("The server's answer has a faulty framing: "
                                   "Transfer-Encoding in an HTTP/1.0 answer"));
    if (!encoding.isEmpty() && !lengthText.isEmpty())
        return fail(QStringLiteral("The server's answer has a faulty framing: both "
                                   "Content-Length and Transfer-Encoding"));
    const QByteArray connection = header("Connection");
    reusable = http10 ? hasToken(connection, "keep-alive") : !hasToken(connection, "close");
    if (chunked) {
        left = 0;
    } else if (code == 204 || code == 304) {
        left = 0;
    } else if (!lengthText.isEmpty()) {
        // Several lengths that differ (or one that is no number) leave the body's end unknown.
        const QList<QByteArray> lengths = lengthText.split(',');
        bool number = false;
        left = lengths.first().trimmed().toLongLong(&number);
        for (const QByteArray &length : lengths)
            number = number && length.trimmed().toLongLong() == left;
        if (!number || left < 0)
            return fail(QStringLiteral("The server's answer has an invalid length"));
    } else {
        left = -1;
        reusable = false;
    }
    bodyLength = chunked ? -1 : left;
    stage = chunked ? Stage::ChunkSize : left == 0 ? Stage::Done : Stage::Body;
    return Step::Head;
}

HttpAnswerParser::Step HttpAnswerParser::readBody(QIODevice *device, QByteArray *piece)
{
    const qint64 available = device->bytesAvailable();
    if (available <= 0)
        return Step::NeedMore;
    *piece = device->read(left < 0 ? available : qMin(left, available));
    if (left > 0)
        left -= piece->size();
    if (left == 0)
        stage = stage == Stage::Body ? Stage::Done : Stage::ChunkEnd;
    return Step::Body;
}

// One line of the chunked framing; false when it is not all in yet (or is broken).
bool HttpAnswerParser::readChunkLine(QIODevice *device)
{
    if (stage != Stage::Trailer)
        lineBytes = 0; // each chunk's line is bounded on its own
    QByteArray line;
    if (!readLine(device, &line))
        return false;
    switch (stage) {
    case Stage::ChunkSize: {
        const int extension = line.indexOf(';');
        bool number = false;
        left = line.left(extension < 0 ? line.size() : extension).trimmed().toLongLong(&number, 16);
        if (!number || left < 0) {
            fail(QStringLiteral("The server's answer has a broken chunk"));
            return false;
        }
        stage = left == 0 ? Stage::Trailer : Stage::ChunkData;
        lineBytes = 0;
        break;
    }
    case Stage::ChunkEnd:
        if (!line.isEmpty()) {
            fail(QStringLiteral("The server's answer has a broken chunk"));
            return false;
        }
        stage = Stage::ChunkSize;
        break;
    default: // the trailer's fields are of no use here; an empty line ends it and the answer
        if (line.isEmpty())
            stage = Stage::Done;
    }
    return true;
}
