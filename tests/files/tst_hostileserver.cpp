#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The game files' way from manifest to disk against a server that misbehaves byte by byte: a
// manifest without end, answers that drip, names the launcher must refuse, a server that packs
// what it is not told to leave alone. Each case ends in what the player is told and what is on
// disk: nothing wrong lands, and nothing hangs.
class HostileServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cases_data();
    void cases();
};

namespace {

enum class Drip
{
    None,
    ManifestBody,
    FileHead,
    FileBody
};

// Serves /manifest.json and /files/<name> over raw sockets, each answer closing its connection.
// A dripping answer goes out one byte every 50 ms; with `packs` a file request that does not ask
// for the file's own bytes gets a packed body, as a server with compression on does.
class HostileServer : public QObject
{
public:
    HostileServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        server.listen(QHostAddress::LocalHost);
    }
    QString url(const QString &path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }

    QByteArray manifest;
    QHash<QByteArray, QByteArray> files; // by the URL path's name after /files/
    Drip drip = Drip::None;
    bool packs = false;
    QList<QByteArray> requested; // the request targets, in order

private:
    void read(QTcpSocket *socket)
    {
        QByteArray head = socket->property("head").toByteArray() + socket->readAll();
        socket->setProperty("head", head);
        if (!head.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        const QByteArray target = head.split(' ').value(1);
        requested.append(target);
        const bool isManifest = target == "/manifest.json";
        QByteArray body = isManifest ? manifest : files.value(target.mid(7));
        QByteArray answerHead = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        if (!isManifest && packs && !head.contains("Accept-Encoding: identity\r\n")) {
            body = qCompress(body);
            answerHead += "Content-Encoding: gzip\r\n";
        }
        // An unending manifest has no length; everything else has its own.
        if (!isManifest || drip == Drip::ManifestBody || manifest.size() < (64 << 20))
            answerHead += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        answerHead += "\r\n";
        const Drip here = isManifest ? (drip == Drip::ManifestBody ? drip : Drip::None)
                                     : (drip == Drip::ManifestBody ? Drip::None : drip);
        if (here == Drip::None) {
            socket->write(answerHead + body);
            socket->disconnectFromHost();
            return;
        }
        QByteArray slow = here == Drip::FileHead ? answerHead + body : body;
        if (here != Drip::FileHead)
            socket->write(answerHead);
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, slow, sent = 0]() mutable {
            socket->write(slow.mid(sent++, 1));
            if (sent >= slow.size())
                socket->disconnectFromHost();
        });
        timer->start(50);
    }

    QTcpServer server;
};

QByteArray contentFor(const QString &path)
{
    return testsupport::patternedBytes(3000 + path.size(), int(path.size()));
}

QByteArray manifestOf(const QStringList &paths)
{
    QJsonArray files;
    for (const QString &path : paths) {
        const QByteArray content = contentFor(path);
        files.append(QJsonObject{
            {"path", path},
            {"size", content.size()},
            {"sha256",
             QString::fromLatin1(
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex())}});
    }
    return QJsonDocument(QJsonObject{{"version", "7"}, {"files", files}}).toJson();
}

} // namespace

void HostileServerTest::cases_data()
{
    QTest::addColumn<QStringList>("paths");   // the manifest's entries
    QTest::addColumn<QByteArray>("manifest"); // served instead of their manifest, unless empty
    QTest::addColumn<int>("drip");
    QTest::addColumn<bool>("packs");
    QTest::addColumn<QStringList>("landed"); // the files in the game folder at the end
    QTest::addColumn<QString>("told");       // in what the player is told; empty: "all ready"

    const QByteArray none;
    const QStringList nothing;
    const QStringList good{"good.dat"};
    const auto drip = [](Drip kind) { return int(kind); };
    // 129 MiB of one string that never ends.
    QTest::newRow("manifest without end")
        << good << QByteArray("{\"files\":[{\"path\":\"") + QByteArray(129 << 20, 'a') << 0 << false
        << nothing << "Failed to download manifest: the manifest is larger than 128 MB";
    QTest::newRow("manifest drips") << good << none << drip(Drip::ManifestBody) << false << nothing
                                    << "Failed to download manifest: The server sent only";
    QTest::newRow("file head drips")
        << good << none << drip(Drip::FileHead) << false << nothing
        << "Download failed: 1 file could not be downloaded: good.dat (The server sent only";
    QTest::newRow("file body drips")
        << good << none << drip(Drip::FileBody) << false << nothing
        << "Download failed: 1 file could not be downloaded: good.dat (The server sent only";
    QTest::newRow("server packs unless told not to")
        << good << none << 0 << true << good << QString();

    // Each refused beside a good file: never requested, never written, the rest goes on.
    const QStringList refused{"con.txt",
                              "aux",
                              "sub/NUL",
                              "lpt1.log",
                              "trailing.dat.",
                              "trailing.dat ",
                              QString::fromUtf8("\u202Etxt.exe"),
                              "%2e%2e/pct.dat",
                              "a\r\nX-Inj: 1.dat",
                              QString::fromUtf8("a\0b.dat", 7),
                              "GOOD.dat",
                              "good.dat.tmp.validator",
                              "good.dat.tmp"};
    for (const QString &name : refused) {
        QTest::addRow(
            "refused: %s",
            qPrintable(
                QString(name).replace('\r', "\\r").replace('\n', "\\n").replace(QChar(0), "\\0")))
            << QStringList{"good.dat", name} << none << 0 << false << good << QString();
    }
}

void HostileServerTest::cases()
{
    QFETCH(QStringList, paths);
    QFETCH(QByteArray, manifest);
    QFETCH(int, drip);
    QFETCH(bool, packs);
    QFETCH(QStringList, landed);
    QFETCH(QString, told);

    HostileServer server;
    server.manifest = manifest.isEmpty() ? manifestOf(paths) : manifest;
    for (const QString &path : paths)
        server.files.insert(QUrl::toPercentEncoding(path, "/"), contentFor(path));
    server.drip = Drip(drip);
    server.packs = packs;
    QTemporaryDir game;
    QVERIFY(game.isValid());
    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = server.url("/manifest.json");
    config.filesBaseUrl = server.url("/files");
    config.gameDirectory = game.path();
    config.maxDownloadThreads = 2;

    testsupport::LogCapture log;
    FileManager manager;
    manager.setRetryDelay(50);
    if (server.drip != Drip::None)
        manager.setLowSpeedWindow(1000); // a drip of 20 bytes a second is far too slow
    QSignalSpy manifestDone(&manager, &FileManager::manifestDownloaded);
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    QSignalSpy failed(&manager, &FileManager::downloadFailed);
    connect(&manager, &FileManager::manifestDownloaded, this, [&](bool ok) {
        if (ok)
            manager.verifyFiles();
    });
    connect(&manager, &FileManager::verificationComplete, this, [&] { manager.startDownload(); });
    manager.downloadManifest();
    QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty() || !failed.isEmpty() ||
                                 (!manifestDone.isEmpty() && !manifestDone.first().at(0).toBool()),
                             30000);

    if (told.isEmpty()) {
        QCOMPARE(ready.size(), 1);
    } else {
        QString said = failed.isEmpty() ? QString() : failed.first().at(0).toString();
        if (said.isEmpty() && !manifestDone.isEmpty())
            said = manifestDone.first().at(1).toString();
        QVERIFY2(said.startsWith(told), qPrintable(said));
    }
    QStringList onDisk;
    QDirIterator it(game.path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        onDisk.append(QDir(game.path()).relativeFilePath(it.next()));
    QCOMPARE(onDisk, landed);
    for (const QString &path : landed)
        QCOMPARE(testsupport::readFile(game.filePath(path)), contentFor(path));
    // Refused names are never asked for, and never break a log line.
    for (const QByteArray &target : qAsConst(server.requested))
        QVERIFY2(target == "/manifest.json" || target == "/files/good.dat", target.constData());
    for (const QString &line : log.lines())
        QVERIFY2(!line.contains('\r') && !line.contains('\n') && !line.contains(QChar(0)),
                 qPrintable(line));
}

QTEST_GUILESS_MAIN(HostileServerTest)
#include "tst_hostileserver.moc"
