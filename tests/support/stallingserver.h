#pragma once

#include <QByteArray>
#include <QTcpServer>

namespace testsupport {

// A raw HTTP server on 127.0.0.1 that answers the first `answerCount` requests with "200 OK" and
// `answerBody`, then accepts everything and never answers: a server that has hung.
class StallingServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit StallingServer(int answerCount = 0, const QByteArray &answerBody = QByteArray(),
                            QObject *parent = nullptr);

    bool listenLoopback();
    QString rootUrl() const;
    int requestCount() const { return requests; }

private:
    void readRequests(QTcpSocket *socket);

    int answersLeft;
    QByteArray answerBody;
    int requests = 0;
};

} // namespace testsupport
