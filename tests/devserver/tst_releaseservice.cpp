#include "devserver.h"
#include "releaseservice.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The release side of the dev server: version.json as the contents endpoint wraps it, and the
// raw executables.
class ReleaseServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void contentsEnvelopeCarriesVersionJson();
    void unknownRefIsNotFound();
    void rawExecutablesAreServedAsTheyAre();
    void overridesReplaceAndRemoveKeys();

private:
    QPair<int, QByteArray> fetch(const QString &path);

    QTemporaryDir dir;
    DevServer server;
    DevServer overridden;
    QNetworkAccessManager network;
};

void ReleaseServiceTest::initTestCase()
{
    QVERIFY(testsupport::writeFile(dir.filePath("Wardgate.exe"), "windows build"));
    QVERIFY(testsupport::writeFile(dir.filePath("Wardgate"), QByteArray(70000, 'L')));
    ReleaseServiceOptions options;
    options.windowsExecutable = dir.filePath("Wardgate.exe");
    options.linuxExecutable = dir.filePath("Wardgate");
    installReleaseService(server, options);
    QVERIFY(server.listenLoopback());

    options.linuxExecutable.clear();
    options.contentsEnvelope = false;
    options.overrides = {{"exe_hash", QJsonValue::Null}, {"version", "2.0"}, {"note", "x"}};
    installReleaseService(overridden, options);
    QVERIFY(overridden.listenLoopback());
}

QPair<int, QByteArray> ReleaseServiceTest::fetch(const QString &url)
{
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(url)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(10000);
    reply->deleteLater();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

void ReleaseServiceTest::contentsEnvelopeCarriesVersionJson()
{
    const auto [status, body] =
        fetch(server.rootUrl() + "/repos/veyrun/wardgate-release/contents/version.json");
    QCOMPARE(status, 200);
    const QJsonObject envelope = QJsonDocument::fromJson(body).object();
    QCOMPARE(envelope["encoding"].toString(), QString("base64"));
    QCOMPARE(envelope["name"].toString(), QString("version.json"));
    const QString content = envelope["content"].toString();
    // Broken into lines as GitHub does it.
    for (const QString &line : content.split('\n', Qt::SkipEmptyParts))
        QVERIFY(line.size() <= 60);
    QVERIFY(content.count('\n') >= 2);

    const QByteArray document = QByteArray::fromBase64(content.toLatin1());
    const QJsonObject version = QJsonDocument::fromJson(document).object();
    QCOMPARE(version["version"].toString(), QString("1.0.17"));
    QCOMPARE(
        version["exe_hash"].toString(),
        QString(QCryptographicHash::hash("windows build", QCryptographicHash::Sha256).toHex()));
    QCOMPARE(
        version["exe_hash_linux"].toString(),
        QString(
            QCryptographicHash::hash(QByteArray(70000, 'L'), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(envelope["size"].toInt(), document.size());

    // "sha" is the git blob id of the file.
    QProcess git;
    git.start("git", {"hash-object", "--stdin"});
    git.write(document);
    git.closeWriteChannel();
    QVERIFY(git.waitForFinished());
    QCOMPARE(envelope["sha"].toString(),
             QString::fromLatin1(git.readAllStandardOutput().trimmed()));
}

void ReleaseServiceTest::unknownRefIsNotFound()
{
    const QString path = server.rootUrl() + "/repos/veyrun/wardgate-release/contents/version.json";
    QCOMPARE(fetch(path + "?ref=main").first, 200);
    QCOMPARE(fetch(path + "?ref=develop").first, 404);
    QCOMPARE(fetch(server.rootUrl() + "/repos/someone/else/contents/version.json").first, 404);
}

void ReleaseServiceTest::rawExecutablesAreServedAsTheyAre()
{
    const QString root = server.rootUrl() + "/veyrun/wardgate-release/main/";
    QCOMPARE(fetch(root + "Wardgate.exe?t=1700000000"),
             qMakePair(200, QByteArray("windows build")));
    QCOMPARE(fetch(root + "Wardgate"), qMakePair(200, QByteArray(70000, 'L')));
    QCOMPARE(fetch(root + "version.exe").first, 404);
    QCOMPARE(fetch(overridden.rootUrl() + "/veyrun/wardgate-release/main/Wardgate").first, 404);
}

void ReleaseServiceTest::overridesReplaceAndRemoveKeys()
{
    const auto [status, body] =
        fetch(overridden.rootUrl() + "/repos/veyrun/wardgate-release/contents/version.json");
    QCOMPARE(status, 200);
    const QJsonObject version = QJsonDocument::fromJson(body).object();
    QCOMPARE(version, QJsonObject({{"version", "2.0"}, {"note", "x"}}));
}

QTEST_GUILESS_MAIN(ReleaseServiceTest)
#include "tst_releaseservice.moc"
