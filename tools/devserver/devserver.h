#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>

class QSslCertificate;
class QSslKey;

// A small HTTP(S) server for tests and the demo: routes by method and path (exact or prefix),
// per-path faults, and a record of every request. It listens on loopback only. The auth
// service, the game files and the releases each add their routes to one of these.
class DevServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method; // "GET", "POST", ...
        QString path;      // decoded path, starting with "/"
        QUrlQuery query;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray &name) const;
    };

    struct Reply
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        QString filePath; // when set, the file is streamed instead of body
        // The part of the file streamed: from fileOffset, fileLength bytes (-1: to its end).
        qint64 fileOffset = 0;
        qint64 fileLength = -1;
        QList<QPair<QByteArray, QByteArray>> headers;

        static Reply json(const QJsonObject &object, int status = 200);
        static Reply text(const QByteArray &body, int status = 200);
        static Reply file(const QString &path);
        static Reply notFound();
    };

    using Handler = std::function<Reply(const Request &)>;

    // Fault for one path: the next `failCount` requests (negative: all of them) get `status` with
    // `body`; `delayMs` holds every answer back; `replaceBody` answers with these bytes instead of
    // the real content (with status 200), once per remaining `failCount`, or always when negative.
    struct Fault
    {
        int failCount = 0;
        int status = 500;
        QByteArray body;
        int delayMs = 0;
        bool replaceBody = false;
    };

    explicit DevServer(QObject *parent = nullptr);

    // Listens on 127.0.0.1; port 0 picks a free one. Returns false when it cannot listen.
    bool listenLoopback(quint16 port = 0);
    // Serve HTTPS from now on; call before listenLoopback.
    void useTls(const QSslCertificate &certificate, const QSslKey &key);
    quint16 port() const { return listeningPort; }
    QString rootUrl() const; // "http://127.0.0.1:<port>" or https

    // method empty: any method. A path ending in "/*" matches every path below it.
    void addRoute(const QByteArray &method, const QString &path, Handler handler);

    void setFault(const QString &path, const Fault &fault);
    void clearFaults();

    // Every request as a JSON object {method, path, query, headers, body}; optionally also
    // appended to a file as JSON lines.
    QList<QJsonObject> recordedRequests() const { return recorded; }
    QList<QJsonObject> recordedRequests(const QString &path) const;
    void clearRecordedRequests() { recorded.clear(); }
    // Appends every request as a JSON line to `path`, with a body's "password" field written as
    // passwordMask; recordedRequests() keeps the bodies as they came.
    void setRecordFile(const QString &path) { recordFile = path; }
    static constexpr char passwordMask[] = "********";
    // A JSON body with its "password" field masked; any other body as it is.
    static QByteArray maskedForRecord(const QByteArray &body);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Route
    {
        QByteArray method;
        QString path;
        bool prefix;
        Handler handler;
    };

    const Route *findRoute(const Request &request) const;
    void record(const Request &request);
    static void send(QHttpServerResponder &responder, const Reply &reply);

    QList<Route> routes;
    QHash<QString, Fault> faults;
    QList<QJsonObject> recorded;
    QString recordFile;
    quint16 listeningPort = 0;
    bool tls = false;
};
