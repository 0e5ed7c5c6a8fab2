#pragma once

#include "core/failuretext.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QUrl>

class LowSpeedGuard;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// What one small document is fetched by.
struct DocumentRequest
{
    QUrl url;
    // Named in the failure texts: "the manifest", "version.json".
    FailureText name;
    QByteArray userAgent; // empty: Qt's own
    QList<QPair<QByteArray, QByteArray>> headers;
    // Sent as a POST when set, with this content type; a GET otherwise.
    QByteArray postBody;
    QByteArray postType;
    bool post = false;
    // The most the document may be, after any content coding is undone.
    qint64 sizeLimit = 0;
    // How long the server may send nothing at all (0: the network manager's own time-out), how
    // long it may stay too slow to be of use (LowSpeedGuard; 0: no such rule) and how long the
    // whole fetch may take (0: no limit).
    int silenceLimitMs = 0;
    int lowSpeedWindowMs = 0;
    int deadlineMs = 0;
};

// One document fetched whole into memory, bounded in size and in time: the request comes from the
// one request factory (TLS policy, proxy, User-Agent), the reply's read buffer is bounded, so a
// server that sends more than the limit is stopped by the limit and not by memory, and a
// Content-Length beyond it is refused before the body. Ends in finished() once, with the bytes or
// with a failure text; the fetch goes with its reply when deleted.
class DocumentFetch : public QObject
{
    Q_OBJECT

public:
    DocumentFetch(QNetworkAccessManager *network, const DocumentRequest &request,
                  QObject *parent = nullptr);
    ~DocumentFetch() override;

    void start();
    // Ends the fetch without finished(): nobody waits for its outcome any longer.
    void cancel();

    bool succeeded() const { return isDone && failureText.isEmpty(); }
    // The document; takeBytes() hands it over, so that a big one is not held twice.
    const QByteArray &bytes() const { return body; }
    QByteArray takeBytes();
    // Why the fetch failed: too large, too slow, too late, or the network's own words.
    const FailureText &failure() const { return failureText; }
    const QUrl &url() const { return request.url; }
    // The answer's HTTP status; 0 when none came.
    int httpStatus() const { return status; }

    // How much of the answer Qt may hold before it stops reading from the connection.
    static constexpr qint64 readBufferBytes = 256 * 1024;

signals:
    void finished();

private:
    void onMetaData();
    void onReadyRead();
    void onFinished();
    void stop(const FailureText &reason);

    QNetworkAccessManager *network;
    DocumentRequest request;
    QPointer<QNetworkReply> reply;
    QPointer<LowSpeedGuard> speed;
    QTimer *deadline;
    QByteArray body;
    FailureText failureText;
    // Why this side ended the reply; empty: it did not.
    FailureText stopReason;
    // A refused certificate in the player's words (Qt's own text names no reason a player knows).
    QString certificateRefusal;
    int status = 0;
    bool isDone = false;
};
