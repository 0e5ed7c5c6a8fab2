// The launcher flow with a signing key configured, against the dev server on loopback: what a
// forged, replayed or stale manifest and a game program outside the signed files do to the
// window and to the game folder. Signatures are made with the openssl command.
#include "core/launcherconfig.h"
#include "files/signedmanifest.h"
#include "game/gamelauncher.h"
#include "support/messageboxes.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"

#include "authservice.h"
#include "devserver.h"
#include "fileservice.h"
#include "signer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using testsupport::MessageBoxAnswerer;

namespace {

const QString gameProgram = QStringLiteral("system/fake_game");

QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), testsupport::readFile(path));
    }
    return files;
}

} // namespace

class SignedFlowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void refusedManifestsChangeNothing_data();
    void refusedManifestsChangeNothing();
    void gameProgramMustBeSignedAndInside_data();
    void gameProgramMustBeSignedAndInside();

private:
    QByteArray manifest(qint64 published, qint64 expires = -1) const;
    QByteArray opensslSign(const QByteArray &data, const QString &key);
    bool openWindow(bool withKey, const QString &executable);
    bool reaches(MainWindow::LauncherState state, int timeout = 10000) const
    {
        return QTest::qWaitFor([&] { return window->state == state; }, timeout);
    }
    void fillGameFolder();

    QTemporaryDir temp;
    QString served;
    QList<QPair<QString, QByteArray>> files;
    std::unique_ptr<DevServer> server;
    AuthService *auth = nullptr;
    // Inside `temp`, beside the outside program, so that "../outside.sh" names it.
    QString gameDir;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MessageBoxAnswerer> boxes;
};

void SignedFlowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    Q_INIT_RESOURCE(resources);
    QVERIFY(temp.isValid());
    qputenv("HOME", QFile::encodeName(temp.filePath(QStringLiteral("home"))));
    QProcess make;
    make.start(QStringLiteral(WARDGATE_SOURCE_DIR "/tests/platform/make-signature-vectors"),
               {temp.path()});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);

    files = {{QStringLiteral("system/l2.ini"), QByteArray("[Veyrun]\nServerAddr=127.0.0.1\n")},
             {QStringLiteral("system/engine.u"), QByteArray(3000, 'e')},
             {QStringLiteral("maps/16_20.unr"), QByteArray(64 * 1024, 'm')},
             {gameProgram, testsupport::readFile(testsupport::helperPath("fake_game"))}};
    served = temp.filePath(QStringLiteral("served"));
    for (const auto &[path, content] : files)
        QVERIFY(testsupport::writeFile(served + '/' + path, content));
    QVERIFY(QFile::setPermissions(served + '/' + gameProgram,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // A program beside the game folder that leaves a mark when something starts it.
    QVERIFY(
        testsupport::writeFile(temp.filePath(QStringLiteral("outside.sh")),
                               "#!/bin/sh\ntouch \"" + temp.filePath("started").toUtf8() + "\"\n"));
    QVERIFY(QFile::setPermissions(temp.filePath(QStringLiteral("outside.sh")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    auto signer = std::make_shared<Signer>();
    QString error;
    QVERIFY2(signer->load(temp.filePath(QStringLiteral("key.pem")), &error), qPrintable(error));
    server = std::make_unique<DevServer>();
    auth = installAuthService(*server, AuthService::Options());
    FileServiceOptions options;
    options.filesDirectory = served;
    options.signer = signer;
    QVERIFY(installFileService(*server, options));
    QVERIFY(server->listenLoopback());
}

void SignedFlowTest::init()
{
    gameDir = temp.filePath(QStringLiteral("game"));
    QVERIFY(QDir(gameDir).removeRecursively() && QDir().mkpath(gameDir));
    boxes = std::make_unique<MessageBoxAnswerer>(QMessageBox::Yes);
    server->clearFaults();
    QFile::remove(PublishedRecord::defaultPath());
    QFile::remove(temp.filePath(QStringLiteral("started")));
}

void SignedFlowTest::cleanup()
{
    window.reset();
    QFile::remove(GameLauncher::pidFilePath());
}

void SignedFlowTest::fillGameFolder()
{
    for (const auto &[path, content] : files)
        QVERIFY(testsupport::writeFile(QDir(gameDir).filePath(path), content));
    QVERIFY(QFile::setPermissions(QDir(gameDir).filePath(gameProgram),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// The served files' manifest as an operator would publish it.
QByteArray SignedFlowTest::manifest(qint64 published, qint64 expires) const
{
    QJsonArray entries;
    for (const auto &[path, content] : files)
        entries.append(QJsonObject{
            {"path", path},
            {"size", double(content.size())},
            {"sha256",
             QString::fromLatin1(
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex())}});
    QJsonObject document{{"version", "7"}, {"files", entries}};
    if (published >= 0)
        document.insert("published", double(published));
    if (expires >= 0)
        document.insert("expires", double(expires));
    return QJsonDocument(document).toJson();
}

QByteArray SignedFlowTest::opensslSign(const QByteArray &data, const QString &key)
{
    const QString input = temp.filePath(QStringLiteral("to-sign"));
    const QString output = temp.filePath(QStringLiteral("to-sign.sig"));
    if (!testsupport::writeFile(input, data))
        return QByteArray();
    QProcess openssl;
    openssl.start("openssl",
                  {"dgst", "-sha256", "-sign", temp.filePath(key), "-out", output, input});
    if (!openssl.waitForFinished(10000) || openssl.exitCode() != 0)
        return QByteArray();
    return testsupport::readFile(output);
}

bool SignedFlowTest::openWindow(bool withKey, const QString &executable)
{
    const QString manifestUrl = server->rootUrl() + "/manifest.json";
    auth->setRemoteConfig(QJsonObject{{"manifest_url", manifestUrl},
                                      {"files_base_url", server->rootUrl() + "/files"},
                                      {"game_executable", executable},
                                      {"integrity_files", QJsonArray()}});
    LauncherConfig &config = LauncherConfig::instance();
    config = LauncherConfig();
    config.authUrl = server->rootUrl() + "/api/auth";
    config.gameDirectory = gameDir;
    if (withKey)
        config.signingKeys.load(QByteArray(), temp.filePath(QStringLiteral("pub.pem")));
    window = std::make_unique<MainWindow>();
    window->show();
    if (!QTest::qWaitFor([&] { return config.manifestUrl == manifestUrl; }, 5000))
        return false;
    window->findChild<QLineEdit *>("loginEdit")->setText(QStringLiteral("demo"));
    window->findChild<QLineEdit *>("passwordEdit")->setText(QStringLiteral("demo123"));
    QTest::mouseClick(window->findChild<QPushButton *>("loginButton"), Qt::LeftButton);
    return true;
}

void SignedFlowTest::refusedManifestsChangeNothing_data()
{
    QTest::addColumn<QString>("served");    // the manifest as served: "dev server", "fault"
    QTest::addColumn<QString>("tampering"); // what happens to it between signing and serving
    QTest::addColumn<QString>("expected");  // the box's text; empty: Ready
    const QString invalid = QStringLiteral(
        "The game files could not be verified: the manifest's signature is invalid.");
    QTest::newRow("good signature by the dev server") << "dev server"
                                                      << ""
                                                      << "";
    QTest::newRow("good signature by openssl") << "fault"
                                               << ""
                                               << "";
    QTest::newRow("a digest swapped after signing") << "fault"
                                                    << "swap digests" << invalid;
    QTest::newRow("signed by an unknown key") << "fault"
                                              << "other key" << invalid;
    QTest::newRow(".sig missing")
        << "fault"
        << "no signature"
        << "The game files could not be verified: the manifest's signature is missing.";
    QTest::newRow(".sig empty") << "fault"
                                << "empty signature" << invalid;
    QTest::newRow(".sig garbage") << "fault"
                                  << "garbage signature" << invalid;
    QTest::newRow("signed by a P-384 key") << "fault"
                                           << "p384 key" << invalid;
    QTest::newRow("older than the one installed")
        << "fault"
        << "older"
        << "The server offered game files older than those already installed.";
    QTest::newRow("older than one installed from another URL")
        << "fault"
        << "older elsewhere"
        << "The server offered game files older than those already installed.";
    // Taken and recorded, a time far ahead would make every manifest published until then look
    // old; one recorded so by an earlier launcher holds nothing back.
    QTest::newRow("published two days ahead of the clock")
        << "fault"
        << "far ahead"
        << "The game files could not be verified: the manifest was published more than a day "
           "after the time this computer's clock shows; check its date and time.";
    QTest::newRow("a time far ahead recorded before") << "fault"
                                                      << "far record"
                                                      << "";
    QTest::newRow("expired") << "fault"
                             << "expired"
                             << "The game files could not be verified: the manifest has expired.";
    QTest::newRow("no publication time")
        << "fault"
        << "unpublished"
        << "The game files could not be verified: the manifest has no publication time.";
}

void SignedFlowTest::refusedManifestsChangeNothing()
{
    QFETCH(QString, served);
    QFETCH(QString, tampering);
    QFETCH(QString, expected);
    // One file stale, so that any manifest taken would lead to a download.
    fillGameFolder();
    QVERIFY(testsupport::writeFile(QDir(gameDir).filePath("maps/16_20.unr"), "stale"));
    const QMap<QString, QByteArray> before = snapshot(gameDir);

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString url = server->rootUrl() + "/manifest.json";
    if (served == "fault") {
        const qint64 published = tampering == "unpublished" ? -1
                                 : tampering == "far ahead" ? now + 2 * 24 * 3600
                                                            : now;
        QByteArray document = manifest(published, tampering == "expired" ? now - 60 : -1);
        const QString key = tampering == "other key"  ? "other-key.pem"
                            : tampering == "p384 key" ? "p384-key.pem"
                                                      : "key.pem";
        QByteArray signature = opensslSign(document, key);
        QVERIFY(!signature.isEmpty());
        if (tampering == "swap digests") {
            const QJsonObject root = QJsonDocument::fromJson(document).object();
            const QJsonArray entries = root.value("files").toArray();
            document.replace(entries[0].toObject().value("sha256").toString().toLatin1(),
                             entries[1].toObject().value("sha256").toString().toLatin1());
        }
        if (tampering == "empty signature")
            signature.clear();
        if (tampering == "garbage signature")
            signature = "this is not a signature";
        if (tampering == "older")
            QVERIFY(PublishedRecord().raise(url, now + 3600));
        if (tampering == "far record")
            QVERIFY(PublishedRecord().raise(url, now + 30 * 365 * 24 * 3600LL));
        if (tampering == "older elsewhere")
            QVERIFY(PublishedRecord().raise("https://play.example/manifest.json", now + 3600));
        DevServer::Fault replaced;
        replaced.failCount = -1;
        replaced.replaceBody = true;
        replaced.body = document;
        server->setFault(QStringLiteral("/manifest.json"), replaced);
        replaced.body = signature;
        if (tampering == "no signature") {
            replaced.replaceBody = false;
            replaced.status = 404;
        }
        server->setFault(QStringLiteral("/manifest.json.sig"), replaced);
    }

    QVERIFY(openWindow(true, gameProgram));
    if (expected.isEmpty()) {
        QVERIFY(reaches(MainWindow::Ready));
        QCOMPARE(testsupport::readFile(QDir(gameDir).filePath("maps/16_20.unr")),
                 QByteArray(64 * 1024, 'm'));
        QVERIFY(PublishedRecord().highest(url) >= now);
        return;
    }
    QVERIFY(reaches(MainWindow::UpdateFailed));
    QTRY_VERIFY(boxes->count() >= 1);
    // A list that arrived and was refused is called that, in the box and on the status line
    // after OK, never a download error; a refused time is never recorded.
    QVERIFY2(boxes->last().text.contains(expected), qPrintable(boxes->last().text));
    QCOMPARE(window->findChild<QLabel *>("statusLabel")->text(), boxes->last().text);
    if (!tampering.startsWith("older"))
        QCOMPARE(PublishedRecord().newest(), qint64(-1));
    // PLAY offers only the retry, which is refused the same way, and starts nothing.
    QTest::mouseClick(window->findChild<QPushButton *>("playButton"), Qt::LeftButton);
    QTRY_VERIFY(boxes->count() >= 2);
    QVERIFY(reaches(MainWindow::UpdateFailed));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QCOMPARE(snapshot(gameDir), before);
}

void SignedFlowTest::gameProgramMustBeSignedAndInside_data()
{
    QTest::addColumn<bool>("withKey");
    QTest::addColumn<QString>("executable"); // "<outside>" stands for the outside program's path
    QTest::addColumn<QString>("prepare");    // "", "extra", "link", "altered"
    QTest::addColumn<QString>("refusal");    // a part of the Launch Error's text; empty: starts
    const QString leaves = QStringLiteral("leads out of it");
    const QString absolute = QStringLiteral("is an absolute path");
    QTest::newRow("signed program") << true << gameProgram << ""
                                    << "";
    QTest::newRow("signed program, path to be cleaned") << true << "system/../system/./fake_game"
                                                        << ""
                                                        << "";
    QTest::newRow("key: ../ form") << true << "../outside.sh"
                                   << "" << leaves;
    QTest::newRow("key: deeper ../ form") << true << "system/../../outside.sh"
                                          << "" << leaves;
    QTest::newRow("key: absolute") << true << "<outside>"
                                   << "" << absolute;
    QTest::newRow("key: not in the manifest") << true << "system/extra.sh"
                                              << "extra"
                                              << "is not one of the signed game files";
    QTest::newRow("key: altered in place") << true << gameProgram << "altered"
                                           << "does not match the signed game files";
    QTest::newRow("no key: ../ form") << false << "../outside.sh"
                                      << "" << leaves;
    QTest::newRow("no key: absolute") << false << "<outside>"
                                      << "" << absolute;
    QTest::newRow("no key: link out of the folder") << false << "system/link.sh"
                                                    << "link" << leaves;
    QTest::newRow("no key: program inside") << false << gameProgram << ""
                                            << "";
}

void SignedFlowTest::gameProgramMustBeSignedAndInside()
{
    QFETCH(bool, withKey);
    QFETCH(QString, executable);
    QFETCH(QString, prepare);
    QFETCH(QString, refusal);
    fillGameFolder();
    const QString outside = temp.filePath(QStringLiteral("outside.sh"));
    executable.replace(QStringLiteral("<outside>"), outside);
    if (prepare == "extra")
        QVERIFY(QFile::copy(outside, QDir(gameDir).filePath("system/extra.sh")));
    if (prepare == "link")
        QVERIFY(QFile::link(outside, QDir(gameDir).filePath("system/link.sh")));
    qputenv("WARDGATE_FAKE_GAME_MS", "200");

    QVERIFY(openWindow(withKey, executable));
    QVERIFY(reaches(MainWindow::Ready));
    if (prepare == "altered") {
        // Same size, so the file check before Ready cannot see it; only the digest can.
        QByteArray program = testsupport::readFile(QDir(gameDir).filePath(gameProgram));
        program[program.size() - 1] = char(program.at(program.size() - 1) ^ 0x01);
        QVERIFY(testsupport::writeFile(QDir(gameDir).filePath(gameProgram), program));
        QVERIFY(QFile::setPermissions(QDir(gameDir).filePath(gameProgram),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const int boxesBefore = boxes->count();
    QTest::mouseClick(window->findChild<QPushButton *>("playButton"), Qt::LeftButton);
    if (refusal.isEmpty()) {
        QVERIFY(reaches(MainWindow::GameRunning));
        QVERIFY(reaches(MainWindow::Ready));
        QCOMPARE(boxes->count(), boxesBefore);
        return;
    }
    QTRY_COMPARE(boxes->count(), boxesBefore + 1);
    testsupport::quietPeriod(300); // room for a started program to leave its mark
    QVERIFY(!QFile::exists(temp.filePath(QStringLiteral("started"))));
    QVERIFY(!QFile::exists(GameLauncher::pidFilePath()));
    QCOMPARE(boxes->last().title, QStringLiteral("Launch Error"));
    QVERIFY2(boxes->last().text.contains(refusal), qPrintable(boxes->last().text));
    QCOMPARE(window->state, MainWindow::Ready);
}

QTEST_MAIN(SignedFlowTest)
#include "tst_signedflows.moc"
