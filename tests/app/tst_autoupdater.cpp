#include "app/autoupdater.h"
#include "devserver.h"
#include "releaseservice.h"
#include "signer.h"
#include "support/endlessserver.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// AutoUpdater against the dev server's release side: the decision, the download and every
// failure, each ending in exactly one final signal.
class AutoUpdaterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void equalDigestsAreUpToDate_data();
    void equalDigestsAreUpToDate();
    void failedChecksReadAsUpToDate_data();
    void failedChecksReadAsUpToDate();
    void downloadWritesExactlyTheReleaseBytes();
    void downloadNotMatchingTheDigestIsRefused_data();
    void downloadNotMatchingTheDigestIsRefused();
    void downloadErrorLeavesNoFile();
    void unwritableFolderIsReported();
    void signedReleases_data();
    void signedReleases();
    void unboundedReleaseDocuments_data();
    void unboundedReleaseDocuments();

private:
    struct Outcome
    {
        QStringList events; // "available:<v>", "none", "downloaded:<path>", "error:<text>"
        QList<QPair<qint64, qint64>> progress;
    };
    Outcome check(const ReleaseChannel &channel);
    ReleaseChannel channel() const;
    QString installed() const { return dir->filePath("bin/Wardgate"); }
    QString published() const { return dir->filePath("release/Wardgate"); }
    QStringList binContents() const;

    QTemporaryDir keys;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<DevServer> server;
    std::unique_ptr<testsupport::LogCapture> log;
};

void AutoUpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QProcess make;
    make.start(QStringLiteral(WARDGATE_SOURCE_DIR "/tests/platform/make-signature-vectors"),
               {keys.path()});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
}

void AutoUpdaterTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(testsupport::writeFile(installed(), "launcher 1.0.16\n"));
    QVERIFY(testsupport::writeFile(published(), "launcher 1.0.17\n"));
    server = std::make_unique<DevServer>();
    QVERIFY(server->listenLoopback());
    log = std::make_unique<testsupport::LogCapture>();
}

void AutoUpdaterTest::cleanup()
{
    QFile(dir->filePath("bin"))
        .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    server.reset();
    dir.reset();
    log.reset();
}

ReleaseChannel AutoUpdaterTest::channel() const
{
    ReleaseChannel channel = ReleaseChannel::deployed();
    channel.apiBase = server->rootUrl();
    channel.rawBase = server->rootUrl();
    channel.repository = QStringLiteral("veyrun/wardgate-release");
    return channel;
}

AutoUpdaterTest::Outcome AutoUpdaterTest::check(const ReleaseChannel &channel)
{
    Outcome outcome;
    AutoUpdater updater(channel, installed());
    connect(&updater, &AutoUpdater::updateAvailable, this,
            [&](const QString &version) { outcome.events << "available:" + version; });
    connect(&updater, &AutoUpdater::noUpdateAvailable, this, [&] { outcome.events << "none"; });
    connect(&updater, &AutoUpdater::updateDownloaded, this,
            [&](const QString &path) { outcome.events << "downloaded:" + path; });
    connect(&updater, &AutoUpdater::updateError, this,
            [&](const QString &error) { outcome.events << "error:" + error; });
    connect(&updater, &AutoUpdater::downloadProgress, this, [&](qint64 received, qint64 total) {
        outcome.progress.append({received, total});
    });
    updater.checkForUpdates();
    const auto finished = [&] {
        return !outcome.events.isEmpty() && !outcome.events.last().startsWith("available:");
    };
    if (!QTest::qWaitFor(finished, 20000))
        outcome.events << "no final signal";
    testsupport::quietPeriod(50); // room for a wrong second final signal to show up
    return outcome;
}

QStringList AutoUpdaterTest::binContents() const
{
    return QDir(dir->filePath("bin")).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

void AutoUpdaterTest::equalDigestsAreUpToDate_data()
{
    QTest::addColumn<bool>("envelope");
    QTest::newRow("base64 content with line breaks") << true;
    QTest::newRow("version.json object itself") << false;
}

void AutoUpdaterTest::equalDigestsAreUpToDate()
{
    QFETCH(bool, envelope);
    ReleaseServiceOptions release;
    release.linuxExecutable = installed();
    release.windowsExecutable = installed();
    release.contentsEnvelope = envelope;
    installReleaseService(*server, release);

    QCOMPARE(check(channel()).events, QStringList{"none"});
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash("launcher 1.0.16\n", QCryptographicHash::Sha256).toHex());
    QVERIFY(log->contains("[INFO] [AutoUpdater] Checking for updates..."));
    QVERIFY(
        log->contains(QStringLiteral("[INFO] [AutoUpdater] Local: %1, Remote: %1").arg(digest)));
    QVERIFY(log->contains("[INFO] [AutoUpdater] Launcher is up to date"));

    const QList<QJsonObject> requests =
        server->recordedRequests("/repos/veyrun/wardgate-release/contents/version.json");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0]["query"].toString(), QString("ref=main"));
    const QJsonObject headers = requests[0]["headers"].toObject();
    QCOMPARE(headers["user-agent"].toString(), QString("Wardgate"));
    QCOMPARE(headers["accept"].toString(), QString("application/vnd.github.v3+json"));
}

void AutoUpdaterTest::failedChecksReadAsUpToDate_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("warning");

    const QByteArray notAnObject =
        QJsonDocument(QJsonObject{{"content", contentsBase64("[\"1.0.17\"]")}}).toJson();
    const QByteArray notJson = QJsonDocument(QJsonObject{{"content", "bm90IGpzb24="}}).toJson();
    QTest::newRow("server error") << 500 << QByteArray("boom") << 0
                                  << "[WARN] [AutoUpdater] Version check failed: ";
    QTest::newRow("not found") << 404 << QByteArray() << 0
                               << "[WARN] [AutoUpdater] Version check failed: ";
    QTest::newRow("timeout") << 200 << QByteArray("{}") << 3000
                             << "[WARN] [AutoUpdater] Version check failed: ";
    QTest::newRow("response not JSON") << 200 << QByteArray("<html>rate limited</html>") << 0
                                       << "[WARN] [AutoUpdater] Invalid GitHub API response";
    QTest::newRow("response an array") << 200 << QByteArray("[{\"content\":\"\"}]") << 0
                                       << "[WARN] [AutoUpdater] Invalid GitHub API response";
    QTest::newRow("content an array")
        << 200 << notAnObject << 0 << "[WARN] [AutoUpdater] Invalid version.json content";
    QTest::newRow("content not JSON")
        << 200 << notJson << 0 << "[WARN] [AutoUpdater] Invalid version.json content";
    QTest::newRow("no network") << -1 << QByteArray() << 0
                                << "[WARN] [AutoUpdater] Version check failed: ";
}

void AutoUpdaterTest::failedChecksReadAsUpToDate()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, delayMs);
    QFETCH(QString, warning);

    ReleaseServiceOptions release;
    release.linuxExecutable = published();
    installReleaseService(*server, release);
    DevServer::Fault fault;
    fault.failCount = -1;
    fault.status = status;
    fault.body = body;
    fault.delayMs = delayMs;
    fault.replaceBody = status == 200;
    server->setFault("/repos/veyrun/wardgate-release/contents/version.json", fault);

    ReleaseChannel target = channel();
    target.versionCheckTimeoutMs = 300;
    if (status < 0)
        server.reset(); // nothing listens on that port any more
    QCOMPARE(check(target).events, QStringList{"none"});
    QVERIFY2(log->contains(warning), qPrintable(log->lines().join('\n')));
    QVERIFY(!log->contains("Launcher is up to date"));
    QCOMPARE(binContents(), QStringList{"Wardgate"});
}

void AutoUpdaterTest::downloadWritesExactlyTheReleaseBytes()
{
    // Larger than the reply's read buffer, so it arrives in several writes.
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                  bytes.size() / int(sizeof(quint32)));
    QVERIFY(testsupport::writeFile(published(), bytes));
    ReleaseServiceOptions release;
    release.linuxExecutable = published();
    release.version = "1.0.18";
    installReleaseService(*server, release);

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const Outcome outcome = check(channel());
    const QString newPath = dir->filePath("bin/Wardgate.new");
    QCOMPARE(outcome.events, QStringList({"available:1.0.18", "downloaded:" + newPath}));
    QFile file(newPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), bytes.size());
    QVERIFY(file.readAll() == bytes);
    QVERIFY(log->contains("[INFO] [AutoUpdater] Update available: v1.0.18"));
    QVERIFY(log->contains(QStringLiteral("[INFO] [AutoUpdater] Downloaded %1 bytes to %2")
                              .arg(bytes.size())
                              .arg(newPath)));
    QVERIFY(!outcome.progress.isEmpty());
    QCOMPARE(outcome.progress.last(), qMakePair(qint64(bytes.size()), qint64(bytes.size())));

    const QList<QJsonObject> downloads =
        server->recordedRequests("/veyrun/wardgate-release/main/Wardgate");
    QCOMPARE(downloads.size(), 1);
    const QString query = downloads[0]["query"].toString();
    QVERIFY2(query.startsWith("t="), qPrintable(query));
    QVERIFY(qAbs(query.mid(2).toLongLong() - before) <= 5);
    QVERIFY(!downloads[0]["headers"].toObject().contains("accept"));
    QCOMPARE(binContents(), QStringList({"Wardgate", "Wardgate.new"}));
}

void AutoUpdaterTest::downloadNotMatchingTheDigestIsRefused_data()
{
    QTest::addColumn<QString>("publishedDigest"); // empty: the real digest
    QTest::addColumn<QByteArray>("servedBody");   // empty: the real file
    const QString real = QString::fromLatin1(
        QCryptographicHash::hash("launcher 1.0.17\n", QCryptographicHash::Sha256).toHex());
    QTest::newRow("truncated download") << QString() << QByteArray("launcher 1.0");
    QTest::newRow("altered download") << QString() << QByteArray("launcher 6.6.6\n");
    // Would otherwise download, swap and restart on every start.
    QTest::newRow("upper-case exe_hash") << real.toUpper() << QByteArray();
    QTest::newRow("exe_hash absent") << QString("null") << QByteArray();
}

void AutoUpdaterTest::downloadNotMatchingTheDigestIsRefused()
{
    QFETCH(QString, publishedDigest);
    QFETCH(QByteArray, servedBody);
    ReleaseServiceOptions release;
    release.linuxExecutable = published();
    if (publishedDigest == "null")
        release.overrides.insert("exe_hash_linux", QJsonValue::Null);
    else if (!publishedDigest.isEmpty())
        release.overrides.insert("exe_hash_linux", publishedDigest);
    installReleaseService(*server, release);
    if (!servedBody.isEmpty()) {
        DevServer::Fault fault;
        fault.failCount = -1;
        fault.body = servedBody;
        fault.replaceBody = true;
        server->setFault("/veyrun/wardgate-release/main/Wardgate", fault);
    }

    QCOMPARE(check(channel()).events,
             QStringList({"available:1.0.17", "error:Failed to download update"}));
    QCOMPARE(binContents(), QStringList{"Wardgate"});
    QVERIFY(log->contains("[ERROR] [AutoUpdater] Downloaded file does not match"));
    QVERIFY(!log->contains("Launcher is up to date"));
}

void AutoUpdaterTest::downloadErrorLeavesNoFile()
{
    ReleaseServiceOptions release;
    release.linuxExecutable = published();
    installReleaseService(*server, release);
    DevServer::Fault fault;
    fault.failCount = -1;
    fault.status = 503;
    fault.body = QByteArray(4096, 'x');
    server->setFault("/veyrun/wardgate-release/main/Wardgate", fault);

    QCOMPARE(check(channel()).events,
             QStringList({"available:1.0.17", "error:Failed to download update"}));
    QVERIFY(log->contains("[ERROR] [AutoUpdater] Download failed: "));
    QCOMPARE(binContents(), QStringList{"Wardgate"});
}

void AutoUpdaterTest::unwritableFolderIsReported()
{
    ReleaseServiceOptions release;
    release.linuxExecutable = published();
    installReleaseService(*server, release);
    // A directory in the way fails for every user, root included, unlike permissions.
    QVERIFY(QDir().mkpath(dir->filePath("bin/Wardgate.new/occupied")));

    QCOMPARE(check(channel()).events,
             QStringList({"available:1.0.17", "error:Cannot write update file"}));
    QVERIFY(log->contains("[ERROR] [AutoUpdater] Cannot write update file"));
    QCOMPARE(binContents(), QStringList{"Wardgate"});
}

void AutoUpdaterTest::signedReleases_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("signature");     // "good", "other key", "garbage", "missing"
    QTest::addColumn<QByteArray>("servedBody"); // empty: the real file
    QTest::addColumn<QString>("outcome");       // "downloaded", "none", "error"
    QTest::newRow("signed, newer") << "1.0.18"
                                   << "good" << QByteArray() << "downloaded";
    QTest::newRow("signed, same version") << "1.0.17"
                                          << "good" << QByteArray() << "downloaded";
    QTest::newRow("signed, lower version") << "1.0.16"
                                           << "good" << QByteArray() << "none";
    QTest::newRow("signed by an unknown key") << "1.0.18"
                                              << "other key" << QByteArray() << "none";
    QTest::newRow("signature garbage") << "1.0.18"
                                       << "garbage" << QByteArray() << "none";
    QTest::newRow("signature missing") << "1.0.18"
                                       << "missing" << QByteArray() << "none";
    QTest::newRow("signed, download altered")
        << "1.0.18"
        << "good" << QByteArray("launcher 6.6.6\n") << "error";
}

// With a key, only a release signed by it and not older than the running launcher is taken, and
// only an executable matching its signed digest lands beside the running one.
void AutoUpdaterTest::signedReleases()
{
    QFETCH(QString, version);
    QFETCH(QString, signature);
    QFETCH(QByteArray, servedBody);
    QFETCH(QString, outcome);
    auto signer = std::make_shared<Signer>();
    QString error;
    QVERIFY2(
        signer->load(keys.filePath(signature == "other key" ? "other-key.pem" : "key.pem"), &error),
        qPrintable(error));
    ReleaseServiceOptions release;
    release.linuxExecutable = published();
    release.version = version;
    release.signer = signer;
    installReleaseService(*server, release);
    const QString signaturePath =
        QStringLiteral("/repos/veyrun/wardgate-release/contents/version.json.sig");
    DevServer::Fault fault;
    fault.failCount = -1;
    if (signature == "garbage") {
        fault.replaceBody = true;
        fault.body = QJsonDocument(QJsonObject{{"content", contentsBase64("garbage")}}).toJson();
        server->setFault(signaturePath, fault);
    } else if (signature == "missing") {
        fault.status = 404;
        server->setFault(signaturePath, fault);
    }
    if (!servedBody.isEmpty()) {
        fault.replaceBody = true;
        fault.body = servedBody;
        server->setFault(QStringLiteral("/veyrun/wardgate-release/main/Wardgate"), fault);
    }

    ReleaseChannel signedChannel = channel();
    signedChannel.signingKeys.load(QByteArray(), keys.filePath("pub.pem"));
    signedChannel.runningVersion = QStringLiteral("1.0.17");
    const Outcome result = check(signedChannel);
    const QString newPath = dir->filePath("bin/Wardgate.new");
    if (outcome == "downloaded") {
        QCOMPARE(result.events, QStringList({"available:" + version, "downloaded:" + newPath}));
        QCOMPARE(testsupport::readFile(newPath), QByteArray("launcher 1.0.17\n"));
        return;
    }
    QCOMPARE(result.events.last().section(':', 0, 0), outcome);
    QCOMPARE(binContents(), QStringList{"Wardgate"});
    if (outcome == "none")
        QVERIFY(log->contains("[WARN] [AutoUpdater] Release refused: "));
}

void AutoUpdaterTest::unboundedReleaseDocuments_data()
{
    QTest::addColumn<QString>("endless"); // which document never ends: "version.json", ".sig"
    QTest::addColumn<qint64>("drip");     // its bytes every 50 ms; 0: as fast as it is read
    QTest::addColumn<QString>("warning");
    QTest::newRow("version.json without end")
        << "version.json" << qint64(0)
        << "[WARN] [AutoUpdater] Version check failed: version.json is larger than 1 MB";
    QTest::newRow("version.json drips")
        << "version.json" << qint64(2000)
        << "[WARN] [AutoUpdater] Version check failed: version.json did not arrive within 0.8 s";
    QTest::newRow("signature without end")
        << ".sig" << qint64(0)
        << "[WARN] [AutoUpdater] Release refused: version.json's signature cannot be fetched: "
           "version.json.sig is larger than 64 KB";
    QTest::newRow("signature drips")
        << ".sig" << qint64(2000)
        << "[WARN] [AutoUpdater] Release refused: version.json's signature cannot be fetched: "
           "version.json.sig did not arrive within 0.8 s";
}

// A release document that grows without end or drips ends the check in bounded time, with the
// running launcher kept.
void AutoUpdaterTest::unboundedReleaseDocuments()
{
    QFETCH(QString, endless);
    QFETCH(qint64, drip);
    QFETCH(QString, warning);
    testsupport::EndlessServer releases(qint64(4) << 30);
    releases.setDrip(drip, 50);
    const QByteArray contents = "/repos/veyrun/wardgate-release/contents/";
    if (endless == ".sig") {
        const QByteArray version =
            R"({"version": "1.0.18", "exe_hash_linux": ")" + QByteArray(64, 'a') + "\"}";
        releases.setFixedAnswer(
            contents + "version.json?",
            QJsonDocument(QJsonObject{{"content", contentsBase64(version)}}).toJson());
    }
    QVERIFY(releases.listenLoopback());
    ReleaseChannel target = channel();
    target.apiBase = releases.rootUrl();
    target.rawBase = releases.rootUrl();
    target.versionCheckDeadlineMs = 800;
    if (endless == ".sig")
        target.signingKeys.load(QByteArray(), keys.filePath("pub.pem"));
    QCOMPARE(check(target).events, QStringList{"none"});
    QVERIFY2(log->contains(warning), qPrintable(log->lines().join('\n')));
    QCOMPARE(binContents(), QStringList{"Wardgate"});
    QTRY_VERIFY(releases.idle());
    QVERIFY(releases.bodyBytesSent() < qint64(32) << 20);
}

QTEST_GUILESS_MAIN(AutoUpdaterTest)
#include "tst_autoupdater.moc"
