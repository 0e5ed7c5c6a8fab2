#include "devserver.h"
#include "fileservice.h"
#include "support/testsupport.h"
#include "zipwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// The dev server's game-file side: the generated manifest, the files, the base-client zip, and
// ranges of them for a download that resumes.
class FileServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manifestDescribesTheFolder();
    void changedFilesAreHashedAgain();
    void pathsOutsideTheFolderAreRefused();
    void baseClientFolderIsZipped();
    void zipWriterOutputIsReadByTheExtractor();
    void filesAnswerRanges_data();
    void filesAnswerRanges();

private:
    QByteArray get(const QString &path, int *status = nullptr);
    QJsonObject manifest();

    QTemporaryDir dir;
    DevServer server;
    QNetworkAccessManager network;
};

namespace {

QString sha256(const QByteArray &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
}

// bsdtar -xf archive -C target; true on exit code 0.
bool extract(const QString &archive, const QString &target)
{
    QDir().mkpath(target);
    QProcess tar;
    tar.start("bsdtar", {"-xf", archive, "-C", target});
    return tar.waitForFinished(10000) && tar.exitStatus() == QProcess::NormalExit &&
           tar.exitCode() == 0;
}

} // namespace

void FileServiceTest::initTestCase()
{
    QVERIFY(testsupport::writeFile(dir.filePath("files/system/l2.ini"), "[Game]\n"));
    QVERIFY(testsupport::writeFile(dir.filePath("files/system/sub dir/a b.dat"), "spaced"));
    QVERIFY(testsupport::writeFile(dir.filePath("files/readme.txt"), "hello"));
    QVERIFY(testsupport::writeFile(dir.filePath("secret.txt"), "outside"));
    QVERIFY(testsupport::writeFile(dir.filePath("client/system/l2.exe"), "exe"));
    QVERIFY(testsupport::writeFile(dir.filePath("client/readme.txt"), "client"));

    FileServiceOptions options;
    options.filesDirectory = dir.filePath("files");
    options.version = "9.9";
    options.baseClientSource = dir.filePath("client");
    QString error;
    QVERIFY2(installFileService(server, options, &error), qPrintable(error));
    QVERIFY(server.listenLoopback());
}

QByteArray FileServiceTest::get(const QString &path, int *status)
{
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(server.rootUrl() + path)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!finished.wait(10000))
        return QByteArray();
    reply->deleteLater();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->readAll();
}

QJsonObject FileServiceTest::manifest()
{
    return QJsonDocument::fromJson(get("/manifest.json")).object();
}

void FileServiceTest::manifestDescribesTheFolder()
{
    const QJsonObject document = manifest();
    QCOMPARE(document.value("version").toString(), QString("9.9"));
    const QJsonArray files = document.value("files").toArray();
    QStringList paths;
    for (const QJsonValue &value : files) {
        const QJsonObject file = value.toObject();
        const QString path = file.value("path").toString();
        paths.append(path);
        QFile local(dir.filePath("files/" + path));
        QVERIFY(local.open(QIODevice::ReadOnly));
        const QByteArray content = local.readAll();
        QCOMPARE(file.value("size").toInteger(), qint64(content.size()));
        QCOMPARE(file.value("sha256").toString(), sha256(content));
        // The URL serves exactly those bytes.
        const QString url = file.value("url").toString();
        QVERIFY(url.startsWith(server.rootUrl() + "/files/"));
        QCOMPARE(get(QUrl(url).path(QUrl::FullyEncoded)), content);
    }
    QCOMPARE(paths, (QStringList{"readme.txt", "system/l2.ini", "system/sub dir/a b.dat"}));

    // Faults apply per path, as set on the server.
    server.setFault("/files/readme.txt", {1, 503, "busy"});
    int status = 0;
    QCOMPARE(get("/files/readme.txt", &status), QByteArray("busy"));
    QCOMPARE(status, 503);
    QCOMPARE(get("/files/readme.txt", &status), QByteArray("hello"));
    QCOMPARE(status, 200);
}

void FileServiceTest::changedFilesAreHashedAgain()
{
    auto digestOf = [this](const QString &path) {
        for (const QJsonValue &value : manifest().value("files").toArray()) {
            if (value.toObject().value("path").toString() == path)
                return value.toObject().value("sha256").toString();
        }
        return QString();
    };
    QCOMPARE(digestOf("readme.txt"), sha256("hello"));
    QVERIFY(testsupport::writeFile(dir.filePath("files/readme.txt"), "changed text"));
    QCOMPARE(digestOf("readme.txt"), sha256("changed text"));
    // Same size, new time: hashed again too.
    QFile file(dir.filePath("files/readme.txt"));
    QVERIFY(testsupport::writeFile(file.fileName(), "CHANGED TEXT"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(
        file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFile::FileModificationTime));
    file.close();
    QCOMPARE(digestOf("readme.txt"), sha256("CHANGED TEXT"));
    QVERIFY(testsupport::writeFile(dir.filePath("files/readme.txt"), "hello"));
}

void FileServiceTest::pathsOutsideTheFolderAreRefused()
{
    // Sent raw: a client library would tidy the ".." away before it reaches the server.
    const QList<QByteArray> targets{"/files/../secret.txt", "/files/%2E%2E/secret.txt",
                                    "/files/system/..%5C..%5Csecret.txt"};
    for (const QByteArray &target : targets) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        socket.write("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        QByteArray response;
        // The server runs on this thread: wait without blocking its event loop.
        QVERIFY(QTest::qWaitFor(
            [&] {
                response += socket.readAll();
                return response.contains("\r\n\r\n");
            },
            5000));
        QVERIFY2(!response.contains("outside"), target.constData());
        QVERIFY2(response.startsWith("HTTP/1.1 404"), response.constData());
    }
}

void FileServiceTest::baseClientFolderIsZipped()
{
    const QJsonObject base = manifest().value("base_client").toObject();
    QCOMPARE(base.value("url").toString(), server.rootUrl() + "/l2_base_client.zip");
    const QByteArray zip = get("/l2_base_client.zip");
    QCOMPARE(base.value("size").toInteger(), qint64(zip.size()));
    QCOMPARE(base.value("sha256").toString(), sha256(zip));

    const QString archive = dir.filePath("fetched.zip");
    QVERIFY(testsupport::writeFile(archive, zip));
    QVERIFY(extract(archive, dir.filePath("unpacked")));
    QCOMPARE(testsupport::readLines(dir.filePath("unpacked/system/l2.exe")), QStringList{"exe"});
    QCOMPARE(testsupport::readLines(dir.filePath("unpacked/readme.txt")), QStringList{"client"});

    // Without a base client the manifest names none.
    DevServer bare;
    FileServiceOptions options;
    options.filesDirectory = dir.filePath("files");
    QVERIFY(installFileService(bare, options));
    QVERIFY(bare.listenLoopback());
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(bare.rootUrl() + "/manifest.json")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    reply->deleteLater();
    QVERIFY(!QJsonDocument::fromJson(reply->readAll()).object().contains("base_client"));
}

void FileServiceTest::zipWriterOutputIsReadByTheExtractor()
{
    // Sizes around the copy block, an empty file, a UTF-8 name and a link.
    const QList<QPair<QString, QByteArray>> entries{
        {"empty.txt", QByteArray()},
        {"system/ünïcode.ini", "utf8"},
        {"big.bin", QByteArray((1 << 20) + 3, 'x')},
    };
    const QString archive = dir.filePath("written.zip");
    ZipWriter zip(archive);
    QVERIFY(zip.open());
    for (const auto &entry : entries)
        QVERIFY(zip.addFile(entry.first, entry.second));
    QVERIFY(testsupport::writeFile(dir.filePath("streamed.bin"), QByteArray(3 << 20, 'y')));
    QVERIFY(zip.addFileFrom("streamed.bin", dir.filePath("streamed.bin")));
    QVERIFY(zip.addSymlink("link", "system"));
    QVERIFY(zip.close());

    const QString target = dir.filePath("written");
    QVERIFY(extract(archive, target));
    for (const auto &entry : entries) {
        QFile file(target + "/" + entry.first);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(entry.first));
        QCOMPARE(file.readAll(), entry.second);
    }
    QFile streamed(target + "/streamed.bin");
    QVERIFY(streamed.open(QIODevice::ReadOnly));
    QCOMPARE(streamed.readAll(), QByteArray(3 << 20, 'y'));
    QCOMPARE(QFileInfo(target + "/link").symLinkTarget(),
             QFileInfo(target + "/system").absoluteFilePath());
}

void FileServiceTest::filesAnswerRanges_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("range"); // %1: the file's size
    QTest::addColumn<QString>("ifRange");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last"); // inclusive; -1: the last byte

    for (const QString path : {"/files/system/sub dir/a b.dat", "/l2_base_client.zip"}) {
        const auto row = [&](const char *name) -> QTestData & {
            return QTest::addRow("%s: %s", qPrintable(path.section('/', -1)), name) << path;
        };
        row("whole") << ""
                     << "" << 200 << 0 << -1;
        row("from an offset") << "bytes=2-"
                              << "" << 206 << 2 << -1;
        row("a slice") << "bytes=1-3"
                       << "" << 206 << 1 << 3;
        row("the last bytes") << "bytes=-2"
                              << "" << 206 << -2 << -1;
        row("end clipped") << "bytes=1-99999999"
                           << "" << 206 << 1 << -1;
        row("past the end") << "bytes=%1-"
                            << "" << 416 << 0 << 0;
        row("If-Range current ETag") << "bytes=2-"
                                     << "etag" << 206 << 2 << -1;
        row("If-Range current date") << "bytes=2-"
                                     << "date" << 206 << 2 << -1;
        row("If-Range stale ETag") << "bytes=2-"
                                   << "\"0-0\"" << 200 << 0 << -1;
        row("If-Range stale date") << "bytes=2-"
                                   << "Thu, 01 Jan 1970 00:00:00 GMT" << 200 << 0 << -1;
        row("two ranges: whole") << "bytes=0-1,3-4"
                                 << "" << 200 << 0 << -1;
    }
}

void FileServiceTest::filesAnswerRanges()
{
    QFETCH(QString, path);
    QFETCH(QString, range);
    QFETCH(QString, ifRange);
    QFETCH(int, status);
    QFETCH(int, first);
    QFETCH(int, last);

    const QUrl url(server.rootUrl() + QUrl(path).toString(QUrl::FullyEncoded));
    auto fetch = [this, &url](const QList<QPair<QByteArray, QByteArray>> &headers) {
        QNetworkRequest request(url);
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        QNetworkReply *reply = network.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(10000);
        reply->deleteLater();
        return reply;
    };
    QNetworkReply *plain = fetch({});
    const QByteArray whole = plain->readAll();
    const QByteArray etag = plain->rawHeader("ETag");
    const QByteArray date = plain->rawHeader("Last-Modified");
    QVERIFY(!whole.isEmpty());
    QVERIFY2(etag.startsWith('"') && etag.endsWith('"'), etag.constData());
    QVERIFY(plain->header(QNetworkRequest::LastModifiedHeader).toDateTime().isValid());

    QList<QPair<QByteArray, QByteArray>> headers;
    if (!range.isEmpty())
        headers.append({"Range", range.arg(whole.size()).toLatin1()});
    if (!ifRange.isEmpty())
        headers.append({"If-Range", ifRange == "etag"   ? etag
                                    : ifRange == "date" ? date
                                                        : ifRange.toLatin1()});
    QNetworkReply *reply = fetch(headers);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    const QByteArray size = QByteArray::number(whole.size());
    if (status == 416) {
        QCOMPARE(reply->rawHeader("Content-Range"), "bytes */" + size);
        return;
    }
    const int from = first < 0 ? whole.size() + first : first;
    const int to = last < 0 ? whole.size() - 1 : last;
    QCOMPARE(reply->readAll(), whole.mid(from, to - from + 1));
    QCOMPARE(reply->rawHeader("ETag"), etag);
    QCOMPARE(reply->rawHeader("Accept-Ranges"), QByteArray("bytes"));
    QCOMPARE(reply->rawHeader("Content-Range"),
             status == 206
                 ? "bytes " + QByteArray::number(from) + '-' + QByteArray::number(to) + '/' + size
                 : QByteArray());
}

QTEST_GUILESS_MAIN(FileServiceTest)
#include "tst_fileservice.moc"
