#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QIODevice;

// Reads one HTTP/1.x answer from a buffered device as its bytes come: the status line and the
// headers (interim 1xx answers skipped), then the body by its length, in chunks, or up to the end
// of the connection. Whatever a server sends, it ends in a result or in a readable failure: a
// head over 64 KiB, a broken line or chunk, or lengths that disagree are refused.
class HttpAnswerParser
{
public:
    enum class Step
    {
        NeedMore, // the device holds no more of the answer for now
        Head,     // the head is complete: status(), headers() and the framing are known
        Body,     // a piece of the body
        Done,     // the answer is complete
        Failed    // not a readable answer: error() tells why
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // The next step of the answer, reading what it needs from `device`; a piece of the body lands
    // in `piece`.
    Step next(QIODevice *device, QByteArray *piece);
    // Whether the body, begun, ends with the connection (it has neither length nor chunks): the
    // close is then the answer's end and not a fault.
    bool endsWithClose() const { return stage == Stage::Body && left < 0; }

    int status() const { return code; }
    QByteArray reason() const { return phrase; }
    const Headers &headers() const { return fields; }
    // A field's value; repeated fields as one comma-separated list.
    QByteArray header(const char *name) const;
    // The body's length; -1 when it is not known ahead (chunks, or up to the close).
    qint64 length() const { return bodyLength; }
    // Whether the connection may carry the next request once this answer is complete.
    bool keepAlive() const { return reusable; }
    bool http11() const { return code != 0 && !http10; }
    QString error() const { return failure; }

private:
    enum class Stage
    {
        Head,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
        Done,
        Failed
    };

    bool readLine(QIODevice *device, QByteArray *line);
    Step readHead(QIODevice *device);
    Step startBody();
    Step readBody(QIODevice *device, QByteArray *piece);
    bool readChunkLine(QIODevice *device);
    Step fail(const QString &why);

    Stage stage = Stage::Head;
    int code = 0;
    bool http10 = false;
    QByteArray phrase;
    Headers fields;
    qint64 lineBytes = 0; // of the head, or of the current chunk line
    qint64 bodyLength = -1;
    qint64 left = 0; // bytes of the body or the chunk still to come; -1: up to the close
    bool reusable = false;
    QString failure;
};
