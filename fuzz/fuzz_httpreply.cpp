// The launcher's own HTTP client reading whatever a server sends: one request to a loopback
// server that answers with the input and closes the connection.
#include "net/httpnetwork.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstddef>
#include <cstdint>

namespace {
QByteArray answer;

QTcpServer &server()
{
    static int argc = 1;
    static char name[] = "fuzz_httpreply";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTcpServer listening;
    if (!listening.isListening()) {
        listening.listen(QHostAddress::LocalHost);
        QObject::connect(&listening, &QTcpServer::newConnection, [] {
            while (QTcpSocket *socket = listening.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    socket->readAll();
                    socket->write(answer);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    return listening;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QTcpServer &listening = server();
    answer = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    HttpNetwork network;
    network.setTransferTimeout(2000);
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1/file").arg(listening.serverPort())));
    request.setMaximumRedirectsAllowed(2);
    QNetworkReply *reply = network.get(request);
    int finished = 0;
    QByteArray body;
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, [&] { body += reply->readAll(); });
    QObject::connect(reply, &QNetworkReply::finished, [&] {
        ++finished;
        loop.quit();
    });
    loop.exec();
    QCoreApplication::processEvents();
    if (finished != 1)
        __builtin_trap();
    delete reply;
    return 0;
}
