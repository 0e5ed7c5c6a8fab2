// The window's flows end to end, in process, against the dev server on loopback: the auth
// service, the game files (with and without a base client) and the fake game and module mapper
// helpers. Clicks and keys go through QTest; modal boxes are answered by a MessageBoxAnswerer.
#include "auth/authclient.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "core/usersettings.h"
#include "files/filemanager.h"
#include "game/gamelauncher.h"
#include "game/processguard.h"
#include "support/logcapture.h"
#include "support/messageboxes.h"
#include "support/testsupport.h"
#include "support/tlsfixture.h"
#include "ui/mainwindow.h"
#include "ui/quantitytext.h"
#include "ui/settingsdialog.h"

#include "authservice.h"
#include "devserver.h"
#include "fileservice.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>

using testsupport::LogCapture;
using testsupport::MessageBoxAnswerer;

namespace {

const QString redStyle =
    QStringLiteral("color: #ff4444; font-size: 10pt; background-color: transparent; padding: 2px;");
const QString greenStyle = QStringLiteral("color: #44ff88; font-size: 11pt; font-weight: bold; "
                                          "background-color: transparent; padding: 2px;");
const QString foreignWarning =
    QString::fromUtf8("Wykryto uruchomionego klienta Lineage 2 z innego serwera.\n\n"
                      "Regulamin serwera zabrania uruchamiania więcej niż jednego\n"
                      "klienta L2 jednocześnie. Zamknij go przed grą.");
const QString foreignAlert =
    QString::fromUtf8("Wykryto uruchomionego klienta Lineage 2 z innego serwera.\n\n"
                      "Regulamin serwera zabrania uruchamiania więcej niż jednego\n"
                      "klienta L2 jednocześnie.\n\nPołączenie zostało przerwane.");

// The served game files: a small text file, a mid-sized one and 512 KiB of map data.
const QList<QPair<QString, QByteArray>> gameFiles{
    {QStringLiteral("system/l2.ini"), QByteArray("[Veyrun]\nServerAddr=127.0.0.1\n")},
    {QStringLiteral("system/engine.u"), QByteArray(3000, 'e')},
    {QStringLiteral("maps/16_20.unr"), QByteArray(512 * 1024, 'm')},
};

// A window whose desktop has a system tray, which the offscreen platform lacks.
class WindowWithTray : public MainWindow
{
    bool systemTrayAvailable() const override { return true; }
};

QLabel *label(QWidget &window, const char *name)
{
    return window.findChild<QLabel *>(name);
}

QPushButton *button(QWidget &window, const char *name)
{
    return window.findChild<QPushButton *>(name);
}

QLineEdit *edit(QWidget &window, const char *name)
{
    return window.findChild<QLineEdit *>(name);
}

QStringList bodyValues(const QList<QJsonObject> &requests, const QString &key)
{
    QStringList values;
    for (const QJsonObject &request : requests) {
        const QJsonObject body =
            QJsonDocument::fromJson(request.value("body").toString().toUtf8()).object();
        values << body.value(key).toString();
    }
    return values;
}

} // namespace

class MainWindowFlowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loginChecksFieldsAndReturnInEitherFieldLogsIn();
    void retryResendsStoredCredentials();
    void loginHandsOverAfterGreenTextAndReachesReady();
    void updateQuestionNoThenUpdateDownloads();
    void pauseButtonHoldsTheDownload();
    void pauseKeepsTheClientsBar();
    void playStopAndGameEnd();
    void foreignClientWarningsAndAlert();
    void integrityViolationNamesTheFile();
    void emptyGameFolderGetsTheBaseClient();
    void refusedCertificateIsNamed();
    void installQuestionNamesTheFolder_data();
    void installQuestionNamesTheFolder();
    void baseClientErrorShowsBoxAndEmptyBar();
    void manifestAndLaunchErrors();
    void filesFailureOffersRetry_data();
    void filesFailureOffersRetry();
    void logoutReturnsToLoginPanel();
    void logoutEndsTheSessionsWork_data();
    void logoutEndsTheSessionsWork();
    void restoredGameOpensInGameRunning();
    void closeHidesToTrayOnlyWithTray();
    void closeRequestWhileDownloading_data();
    void closeRequestWhileDownloading();
    void quitWithGameRunningAnsweredNo();
    void quitWaitsForDeregisterReply();
    void quitWaitsAtMostThreeSeconds();
    void scanRepairsSameSizeDamage();
    void keysAlone();
    void settingsHoldTheFilesFlow_data();
    void settingsHoldTheFilesFlow();

private:
    enum Files
    {
        PlainFiles,
        WithBaseClient
    };

    // Serves a remote configuration for the next window and makes the window; the remote
    // configuration has arrived when this returns true.
    bool openWindow(std::unique_ptr<MainWindow> &window, Files files,
                    const QJsonObject &extraConfig = {}, bool withTray = false);
    bool logIn(MainWindow &window, const QString &name = QStringLiteral("demo"),
               const QString &password = QStringLiteral("demo123"));
    static bool reaches(MainWindow &window, MainWindow::LauncherState state, int timeout = 10000);
    void fillGameFolder(const QStringList &except = {});
    // A program mapping game modules from a folder outside ours: a client of another server.
    bool startForeignClient();
    void stopForeignClient();
    int requestCount(const QString &endpoint) const
    {
        return int(server->recordedRequests(QStringLiteral("/api/auth/") + endpoint).size());
    }

    static MainWindow::LauncherState stateOf(const MainWindow &window) { return window.state; }
    static AuthClient *authOf(const MainWindow &window) { return window.authClient; }
    static FileManager *filesOf(const MainWindow &window) { return window.fileManager; }
    static GameLauncher *launcherOf(const MainWindow &window) { return window.gameLauncher; }
    static ProcessGuard *guardOf(const MainWindow &window) { return window.processGuard; }
    static QSystemTrayIcon *trayOf(const MainWindow &window) { return window.trayIcon; }
    static QMenu *trayMenuOf(const MainWindow &window) { return window.trayMenu; }

    QTemporaryDir temp;
    QString servedFiles;
    std::unique_ptr<DevServer> server;
    AuthService *auth = nullptr;
    std::unique_ptr<QTemporaryDir> gameDir;
    QString gameExecutable;
    std::unique_ptr<QProcess> foreignClient;
    // Answers every box of a test, so that no box left open can hang the run.
    std::unique_ptr<MessageBoxAnswerer> boxes;
};

void MainWindowFlowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    Q_INIT_RESOURCE(resources);
    QVERIFY(temp.isValid());
    // The saved game PID lives below the home folder: ours alone.
    qputenv("HOME", QFile::encodeName(temp.filePath(QStringLiteral("home"))));

    servedFiles = temp.filePath(QStringLiteral("served"));
    for (const auto &[path, content] : gameFiles)
        QVERIFY(testsupport::writeFile(servedFiles + '/' + path, content));

    // Modules of a client of another server, for the module mapper to load.
    for (const char *module : {"engine.dll", "core.dll", "lineagecreature.dll"})
        QVERIFY(testsupport::writeFile(temp.filePath(QStringLiteral("other/system/%1").arg(module)),
                                       QByteArray(4096, 'x')));

    server = std::make_unique<DevServer>();
    AuthService::Options options;
    options.accounts.insert(QStringLiteral("spacey"), QStringLiteral("   "));
    auth = installAuthService(*server, options);
    FileServiceOptions plain;
    plain.filesDirectory = servedFiles;
    QVERIFY(installFileService(*server, plain));
    FileServiceOptions withClient;
    withClient.filesDirectory = servedFiles;
    withClient.filesPrefix = QStringLiteral("/bc/files");
    withClient.manifestPath = QStringLiteral("/bc/manifest.json");
    withClient.baseClientSource = servedFiles;
    withClient.baseClientPath = QStringLiteral("/bc/l2_base_client.zip");
    QString error;
    QVERIFY2(installFileService(*server, withClient, &error), qPrintable(error));
    QVERIFY(server->listenLoopback());
}

void MainWindowFlowTest::init()
{
    gameDir = std::make_unique<QTemporaryDir>();
    QVERIFY(gameDir->isValid());
    // The game is the fake game helper, started from the game folder like the real client.
    gameExecutable = QStringLiteral("system/fake_game");
    QDir().mkpath(gameDir->filePath(QStringLiteral("system")));
    QVERIFY(QFile::copy(testsupport::helperPath(QStringLiteral("fake_game")),
                        gameDir->filePath(gameExecutable)));
    qunsetenv("WARDGATE_FAKE_GAME_MS");
    boxes = std::make_unique<MessageBoxAnswerer>(QMessageBox::Ok);
    server->clearFaults();
    server->clearRecordedRequests();
}

void MainWindowFlowTest::cleanup()
{
    stopForeignClient();
    QFile::remove(GameLauncher::pidFilePath());
}

bool MainWindowFlowTest::openWindow(std::unique_ptr<MainWindow> &window, Files files,
                                    const QJsonObject &extraConfig, bool withTray)
{
    const QString root = server->rootUrl();
    const QString manifestUrl =
        root + (files == PlainFiles ? "/manifest.json" : "/bc/manifest.json");
    QJsonObject remote{{"manifest_url", manifestUrl},
                       {"files_base_url", root + "/files"},
                       {"game_executable", gameExecutable},
                       {"integrity_files", QJsonArray()}};
    for (auto it = extraConfig.begin(); it != extraConfig.end(); ++it)
        remote.insert(it.key(), it.value());
    auth->setRemoteConfig(remote);

    LauncherConfig &config = LauncherConfig::instance();
    config = LauncherConfig();
    config.authUrl = root + "/api/auth";
    config.gameDirectory = gameDir->path();

    window = withTray ? std::make_unique<WindowWithTray>() : std::make_unique<MainWindow>();
    window->show();
    return QTest::qWaitFor([&] { return config.manifestUrl == manifestUrl; }, 5000);
}

bool MainWindowFlowTest::logIn(MainWindow &window, const QString &name, const QString &password)
{
    edit(window, "loginEdit")->setText(name);
    edit(window, "passwordEdit")->setText(password);
    QTest::mouseClick(button(window, "loginButton"), Qt::LeftButton);
    return !button(window, "loginButton")->isEnabled();
}

bool MainWindowFlowTest::reaches(MainWindow &window, MainWindow::LauncherState state, int timeout)
{
    return QTest::qWaitFor([&] { return window.state == state; }, timeout);
}

void MainWindowFlowTest::fillGameFolder(const QStringList &except)
{
    for (const auto &[path, content] : gameFiles) {
        if (!except.contains(path))
            QVERIFY(testsupport::writeFile(gameDir->filePath(path), content));
    }
}

bool MainWindowFlowTest::startForeignClient()
{
    foreignClient = std::make_unique<QProcess>();
    foreignClient->start(testsupport::helperPath(QStringLiteral("module_mapper")),
                         {temp.filePath(QStringLiteral("other/system"))});
    return foreignClient->waitForReadyRead(5000) && foreignClient->readAll().startsWith("ready");
}

void MainWindowFlowTest::stopForeignClient()
{
    if (!foreignClient)
        return;
    foreignClient->kill();
    foreignClient->waitForFinished(5000);
    foreignClient.reset();
}

void MainWindowFlowTest::loginChecksFieldsAndReturnInEitherFieldLogsIn()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QLabel *error = label(*window, "loginErrorLabel");
    QLineEdit *login = edit(*window, "loginEdit");
    QLineEdit *password = edit(*window, "passwordEdit");

    // The health check reports the server.
    QTRY_COMPARE(label(*window, "serverStatusLabel")->text(), QStringLiteral("● Online"));
    QVERIFY(label(*window, "serverStatusLabel")->styleSheet().startsWith("color: #44ff88;"));

    login->setText(QStringLiteral("   "));
    password->setText(QStringLiteral("demo123"));
    QTest::mouseClick(button(*window, "loginButton"), Qt::LeftButton);
    QCOMPARE(error->text(), QStringLiteral("Enter login."));
    login->setText(QStringLiteral("demo"));
    password->clear();
    QTest::keyClick(password, Qt::Key_Return);
    QCOMPARE(error->text(), QStringLiteral("Enter password."));

    // Return in the user-name field checks the fields and logs in, as in the password field.
    QTest::keyClick(login, Qt::Key_Return);
    QCOMPARE(error->text(), QStringLiteral("Enter password."));
    QCOMPARE(requestCount("register"), 0);
    error->clear();
    password->setText(QStringLiteral("demo123"));
    QTest::keyClick(login, Qt::Key_Return);
    QCOMPARE(button(*window, "loginButton")->text(), QStringLiteral("Connecting..."));
    QVERIFY(!login->isEnabled() && !password->isEnabled());
    QTRY_COMPARE(error->text(), QStringLiteral("Login successful!"));
    QCOMPARE(bodyValues(server->recordedRequests("/api/auth/register"), "account_name"),
             QStringList{"demo"});

    // A password of spaces is a password, sent as typed; the name is trimmed and lower-cased.
    std::unique_ptr<MainWindow> second;
    QVERIFY(openWindow(second, PlainFiles));
    QVERIFY(logIn(*second, QStringLiteral("  Spacey "), QStringLiteral("   ")));
    QVERIFY(reaches(*second, MainWindow::Ready));
    QCOMPARE(label(*second, "loggedInLabel")->text(), QStringLiteral("Logged in as: spacey"));
    QCOMPARE(bodyValues(server->recordedRequests("/api/auth/register"), "password").last(),
             QStringLiteral("   "));
}

void MainWindowFlowTest::retryResendsStoredCredentials()
{
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QLabel *error = label(*window, "loginErrorLabel");
    QPushButton *retry = button(*window, "retryButton");

    QVERIFY(logIn(*window, QStringLiteral("demo"), QStringLiteral("wrong")));
    QTRY_VERIFY(retry->isVisible());
    QVERIFY(!error->text().isEmpty());
    QCOMPARE(error->styleSheet(), redStyle);
    QVERIFY(button(*window, "loginButton")->isEnabled());
    QCOMPARE(button(*window, "loginButton")->text(), QStringLiteral("LOG IN"));
    QVERIFY(edit(*window, "loginEdit")->isEnabled());

    // Edited fields do not change what Retry sends.
    edit(*window, "loginEdit")->setText(QStringLiteral("someone"));
    edit(*window, "passwordEdit")->setText(QStringLiteral("demo123"));
    QTest::mouseClick(retry, Qt::LeftButton);
    QVERIFY(!retry->isVisible());
    QVERIFY(!button(*window, "loginButton")->isEnabled());
    QTRY_VERIFY(retry->isVisible());
    const auto registers = server->recordedRequests("/api/auth/register");
    QCOMPARE(bodyValues(registers, "account_name"), (QStringList{"demo", "demo"}));
    QCOMPARE(bodyValues(registers, "password"), (QStringList{"wrong", "wrong"}));
    QCOMPARE(stateOf(*window), MainWindow::Login);

    // The login button reads the fields anew.
    edit(*window, "loginEdit")->setText(QStringLiteral("demo"));
    QTest::mouseClick(button(*window, "loginButton"), Qt::LeftButton);
    QTRY_COMPARE(error->text(), QStringLiteral("Login successful!"));
    // The session's first heartbeat reaches the server within this test, not in the next one,
    // which counts heartbeats.
    QTRY_COMPARE(requestCount("heartbeat"), 1);
}

void MainWindowFlowTest::loginHandsOverAfterGreenTextAndReachesReady()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QLabel *error = label(*window, "loginErrorLabel");

    // A refused attempt first: its WARN line reaches the server through the window's log
    // listener once a session exists.
    QVERIFY(logIn(*window, QStringLiteral("demo"), QStringLiteral("wrong")));
    QTRY_VERIFY(button(*window, "retryButton")->isVisible());
    QVERIFY(logIn(*window));
    QTRY_COMPARE(error->text(), QStringLiteral("Login successful!"));
    QCOMPARE(error->styleSheet(), greenStyle);
    QTRY_COMPARE(requestCount("heartbeat"), 1);
    testsupport::quietPeriod(500);
    QCOMPARE(stateOf(*window), MainWindow::Login);
    QCOMPARE(error->text(), QStringLiteral("Login successful!"));

    // Then the files take over: Initializing, the manifest, Verifying and, with every file in
    // place, Ready.
    QList<MainWindow::LauncherState> states;
    FileManager *files = filesOf(*window);
    connect(files, &FileManager::manifestDownloaded, this, [&] { states << stateOf(*window); });
    connect(files, &FileManager::verificationComplete, this, [&] { states << stateOf(*window); });
    QVERIFY(reaches(*window, MainWindow::Ready));
    QCOMPARE(states, (QList<MainWindow::LauncherState>{MainWindow::Verifying, MainWindow::Ready}));
    QCOMPARE(error->styleSheet(), redStyle);
    QVERIFY(!window->findChild<QWidget *>("loginPanel")->isVisible());
    QCOMPARE(label(*window, "loggedInLabel")->text(), QStringLiteral("Logged in as: demo"));
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Ready!"));
    QVERIFY(button(*window, "playButton")->isEnabled());
    QCOMPARE(window->findChild<QProgressBar *>("progressBar")->value(), 100);
    QCOMPARE(server->recordedRequests("/manifest.json").size(), 1);

    QTRY_VERIFY(auth->uploadedLogLines().join('\n').contains("Login failed: "));
}

void MainWindowFlowTest::updateQuestionNoThenUpdateDownloads()
{
    // One file missing, one the server changed at the same size: out of date, not damaged. The
    // base client is on offer but not needed.
    fillGameFolder({"maps/16_20.unr"});
    QVERIFY(testsupport::writeFile(gameDir->filePath("system/engine.u"), QByteArray(3000, 'o')));
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::No);
    QStringList checkTexts;
    connect(filesOf(*window), &FileManager::verificationProgress, this,
            [&] { checkTexts << label(*window, "downloadLabel")->text(); });

    QVERIFY(logIn(*window));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.count(), 1, 10000);
    QCOMPARE(answerer.last().title, QStringLiteral("Update Required"));
    QCOMPARE(answerer.last().text,
             QStringLiteral("Files need updating:\nMissing: 1\nOut of date: 1\n\nStart download?"));
    QCOMPARE(answerer.last().buttons, QMessageBox::Yes | QMessageBox::No);
    // What the download will be: its size, and the files by name.
    QCOMPARE(answerer.last().informativeText, QStringLiteral("Download size: 515 KB"));
    QCOMPARE(answerer.last().detailedText, QStringLiteral("maps/16_20.unr\nsystem/engine.u"));
    // The first pass read the files and said how far it was.
    QVERIFY(!checkTexts.isEmpty());
    QVERIFY2(checkTexts.last().startsWith(QStringLiteral("Checking game files: ")) &&
                 checkTexts.last().endsWith(QStringLiteral(" MB")),
             qPrintable(checkTexts.last()));
    QTRY_COMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Update cancelled"));
    QCOMPARE(stateOf(*window), MainWindow::UpdateDeclined);
    // Nothing runs behind "Update cancelled": no busy bar, nothing fetched, and the way on is
    // the button, which now reads "Update".
    QCOMPARE(window->findChild<QProgressBar *>("progressBar")->maximum(), 100);
    QPushButton *play = button(*window, "playButton");
    QVERIFY(play->isEnabled());
    QCOMPARE(play->text(), QStringLiteral("Update"));
    QCOMPARE(server->recordedRequests("/bc/l2_base_client.zip").size(), 0);
    QVERIFY(!QFile::exists(gameDir->filePath("maps/16_20.unr")));

    // "Update" fetches what the question offered, without asking again.
    QStringList progressTexts;
    connect(filesOf(*window), &FileManager::downloadProgress, this,
            [&] { progressTexts << label(*window, "downloadLabel")->text(); });
    QTest::mouseClick(play, Qt::LeftButton);
    QCOMPARE(stateOf(*window), MainWindow::Downloading);
    QVERIFY(reaches(*window, MainWindow::Ready));
    QCOMPARE(play->text(), QStringLiteral("PLAY"));
    QCOMPARE(answerer.count(), 1);
    QVERIFY(!progressTexts.isEmpty());
    // 512 KiB and 3000 bytes: two decimals, never a rounded whole number.
    QCOMPARE(progressTexts.last(), QStringLiteral("Downloaded: 0.50 MB / 0.50 MB"));
    QCOMPARE(label(*window, "downloadLabel")->text(), QString());
    QCOMPARE(label(*window, "currentFileLabel")->text(), QString());
    QCOMPARE(window->findChild<QProgressBar *>("progressBar")->value(), 100);
    QCOMPARE(window->findChild<QProgressBar *>("progressBar")->maximum(), 100);
    for (const auto &[path, content] : gameFiles) {
        QFile file(gameDir->filePath(path));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(file.readAll() == content, qPrintable(path));
    }
}

// Pause stops the download where it is and the window says so; Resume takes it to its end. The
// button is there only while something downloads.
void MainWindowFlowTest::pauseButtonHoldsTheDownload()
{
    fillGameFolder({"maps/16_20.unr"});
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    boxes->setAnswer(QMessageBox::Yes);
    QPushButton *pause = button(*window, "pauseButton");
    QVERIFY(!pause->isVisible());
    // Slow enough to be caught in the middle.
    filesOf(*window)->setSpeedLimit(32 * 1024);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Downloading));
    QVERIFY(pause->isVisible());
    QCOMPARE(pause->text(), QStringLiteral("Pause"));
    const QString map = gameDir->filePath("maps/16_20.unr");
    QTRY_VERIFY(QFileInfo(map + ".tmp").size() > 0);

    QTest::mouseClick(pause, Qt::LeftButton);
    QCOMPARE(pause->text(), QStringLiteral("Resume"));
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Download paused"));
    QVERIFY(!label(*window, "downloadLabel")->text().contains(QStringLiteral("/s")));
    // This server gives no validator, so there is no part to keep: nothing is asked for either.
    const int requests = int(server->recordedRequests("/files/maps/16_20.unr").size());
    testsupport::quietPeriod(500); // paused: nothing more is fetched
    QCOMPARE(server->recordedRequests("/files/maps/16_20.unr").size(), requests);
    QVERIFY(!QFile::exists(map));
    QCOMPARE(stateOf(*window), MainWindow::Downloading);

    filesOf(*window)->setSpeedLimit(0);
    QTest::mouseClick(pause, Qt::LeftButton);
    QCOMPARE(pause->text(), QStringLiteral("Pause"));
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Downloading updates..."));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QVERIFY(!pause->isVisible());
    QFile file(map);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), gameFiles.at(2).second);
}

// Pause and Resume of the base client leave its bar where the download is.
void MainWindowFlowTest::pauseKeepsTheClientsBar()
{
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    boxes->setAnswer(QMessageBox::Yes);
    filesOf(*window)->setSpeedLimit(32 * 1024);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::DownloadingClient));
    auto *bar = window->findChild<QProgressBar *>("progressBar");
    QTRY_VERIFY(bar->value() > 0);
    QPushButton *pause = button(*window, "pauseButton");
    for (const char *shown : {"Resume", "Pause"}) {
        const int arrived = bar->value();
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(pause->text(), QString::fromLatin1(shown));
        QVERIFY2(bar->value() >= arrived, qPrintable(QString::number(bar->value())));
    }
    filesOf(*window)->setSpeedLimit(0);
    QVERIFY(reaches(*window, MainWindow::Ready));
}

void MainWindowFlowTest::playStopAndGameEnd()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::Yes);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QPushButton *play = button(*window, "playButton");
    GameLauncher *launcher = launcherOf(*window);

    // A game that ends by itself after a moment.
    qputenv("WARDGATE_FAKE_GAME_MS", "1500");
    QTest::mouseClick(play, Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::GameRunning));
    QCOMPARE(play->text(), QStringLiteral("Stop Game"));
    QVERIFY(play->isEnabled());
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Game running..."));
    QVERIFY(launcher->processId() > 0);
    QVERIFY(reaches(*window, MainWindow::Ready));
    QCOMPARE(play->text(), QStringLiteral("PLAY"));
    QTRY_COMPARE(requestCount("game_closed"), 1);
    QCOMPARE(answerer.count(), 0);

    // A game stopped by the player: the question, and "Stop Game" until the process has gone.
    qputenv("WARDGATE_FAKE_GAME_MS", "60000");
    QTest::mouseClick(play, Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::GameRunning));
    const qint64 pid = launcher->processId();
    QSignalSpy closed(launcher, &GameLauncher::gameClosed);
    QTest::mouseClick(play, Qt::LeftButton);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.last().title, QStringLiteral("Stop Game"));
    QCOMPARE(answerer.last().text, QStringLiteral("Are you sure you want to stop the game?"));
    QCOMPARE(stateOf(*window), MainWindow::GameRunning);
    QCOMPARE(play->text(), QStringLiteral("Stop Game"));
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(stateOf(*window), MainWindow::Ready);
    QCOMPARE(::kill(pid_t(pid), 0), -1);
    QTRY_COMPARE(requestCount("game_closed"), 2);
    testsupport::quietPeriod(300);
    QCOMPARE(requestCount("game_closed"), 2);
}

void MainWindowFlowTest::foreignClientWarningsAndAlert()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    MessageBoxAnswerer &answerer = *boxes;
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));

    // Before play: the Polish warning, and nothing starts.
    QVERIFY(startForeignClient());
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.last().title, QStringLiteral("Veyrun"));
    QCOMPARE(answerer.last().text, foreignWarning);
    QCOMPARE(answerer.last().icon, QMessageBox::Warning);
    QCOMPARE(launcherOf(*window)->processId(), 0);
    testsupport::quietPeriod(200);
    QCOMPARE(stateOf(*window), MainWindow::Ready);
    stopForeignClient();

    // During play: the guard's next scan (run now instead of in 30 s) ends the game.
    qputenv("WARDGATE_FAKE_GAME_MS", "60000");
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::GameRunning));
    const qint64 pid = launcherOf(*window)->processId();
    LogCapture log([auth = authOf(*window)](const QString &line) { auth->appendLogLine(line); });
    QVERIFY(startForeignClient());
    guardOf(*window)->onTimerTick();
    QCOMPARE(answerer.count(), 2);
    QCOMPARE(answerer.last().title, QString::fromUtf8("Veyrun — Naruszenie regulaminu"));
    QCOMPARE(answerer.last().text, foreignAlert);
    QCOMPARE(answerer.last().icon, QMessageBox::Critical);
    // The heartbeat stops, so the session ends with the server and on screen, and stays ended
    // when the game's end is reported.
    QVERIFY(log.has("INFO", "Heartbeat stopped"));
    QTRY_COMPARE(requestCount("deregister"), 1);
    QTRY_VERIFY(::kill(pid_t(pid), 0) == -1);
    QTRY_COMPARE(requestCount("game_closed"), 1);
    QCOMPARE(stateOf(*window), MainWindow::Login);
    QVERIFY(window->findChild<QWidget *>("loginPanel")->isVisible());
    QCOMPARE(label(*window, "loginErrorLabel")->text(),
             QStringLiteral("Session ended: a game client of another server was running."));
    QVERIFY(log.messages("WARN").join('\n').contains("[ProcessGuard] Foreign client detected: "));
}

void MainWindowFlowTest::integrityViolationNamesTheFile()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles,
                       {{"integrity_files", QJsonArray{"l2.ini"}},
                        {"integrity_check_min", 1},
                        {"integrity_check_max", 1}}));
    MessageBoxAnswerer &answerer = *boxes;
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));

    // Same size, other content: only the monitor's digest notices.
    QByteArray changed = gameFiles.first().second;
    changed[1] = 'X';
    QVERIFY(testsupport::writeFile(gameDir->filePath("system/l2.ini"), changed));
    qputenv("WARDGATE_FAKE_GAME_MS", "60000");
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::GameRunning));
    const qint64 pid = launcherOf(*window)->processId();
    QTRY_COMPARE_WITH_TIMEOUT(answerer.count(), 1, 5000);
    QCOMPARE(answerer.last().title, QStringLiteral("Security Alert"));
    QCOMPARE(answerer.last().text,
             QStringLiteral("A modified game file was detected:\n\n"
                            "system/l2.ini\n\nThe game has been terminated."));
    QTRY_VERIFY(::kill(pid_t(pid), 0) == -1);
    QCOMPARE(stateOf(*window), MainWindow::Login);
    QCOMPARE(label(*window, "loginErrorLabel")->text(),
             QStringLiteral("Session ended: a modified game file was detected."));
    QTRY_COMPARE(requestCount("deregister"), 1);

    // The next login checks that file by its digest, although its size is right, and repairs it:
    // to that check it is a file unlike the server's, out of date.
    answerer.setAnswer(QMessageBox::Yes);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QCOMPARE(answerer.last().text,
             QStringLiteral("Files need updating:\nMissing: 0\nOut of date: 1\n\nStart download?"));
    QFile repaired(gameDir->filePath("system/l2.ini"));
    QVERIFY(repaired.open(QIODevice::ReadOnly));
    QCOMPARE(repaired.readAll(), gameFiles.first().second);
}

// An auth service whose certificate the launcher refuses: the player reads why, beside the
// server's status and on the login panel, instead of a bare "Offline" and "cannot connect".
void MainWindowFlowTest::refusedCertificateIsNamed()
{
    QTemporaryDir dir;
    testsupport::SelfSignedCertificate tls;
    QString error;
    QVERIFY2(testsupport::makeSelfSignedCertificate(dir.path(), &tls, &error), qPrintable(error));
    DevServer secure;
    secure.useTls(tls.certificate, tls.key);
    installAuthService(secure);
    QVERIFY(secure.listenLoopback());
    LauncherConfig &config = LauncherConfig::instance();
    config = LauncherConfig();
    config.authUrl = secure.rootUrl() + "/api/auth";
    config.gameDirectory = gameDir->path();

    MainWindow window;
    window.show();
    const QString reason = QStringLiteral("The server's certificate is not trusted.");
    QTRY_COMPARE_WITH_TIMEOUT(label(window, "serverStatusLabel")->text(),
                              QStringLiteral("● Offline: ") + reason, 10000);
    QVERIFY(logIn(window));
    QTRY_COMPARE_WITH_TIMEOUT(label(window, "loginErrorLabel")->text(), reason, 10000);
    QCOMPARE(stateOf(window), MainWindow::Login);
}

void MainWindowFlowTest::installQuestionNamesTheFolder_data()
{
    QTest::addColumn<bool>("relative");
    QTest::addColumn<bool>("otherFiles");
    QTest::addColumn<bool>("chooseAnother");

    QTest::newRow("relative, empty") << true << false << false;
    QTest::newRow("other files, no game") << false << true << false;
    QTest::newRow("another folder chosen") << false << false << true;
}

// The question names the folder as an absolute path, warns of a folder that holds something
// else, and lets the player pick another folder before anything is written.
void MainWindowFlowTest::installQuestionNamesTheFolder()
{
    QFETCH(bool, relative);
    QFETCH(bool, otherFiles);
    QFETCH(bool, chooseAnother);

    QTemporaryDir first(QDir::currentPath() + "/install-XXXXXX");
    QTemporaryDir second;
    if (otherFiles)
        QVERIFY(testsupport::writeFile(first.filePath("notes.txt"), "mine"));
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    const QString configured =
        relative ? QDir::current().relativeFilePath(first.path()) : first.path();
    LauncherConfig::instance().gameDirectory = configured;
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(chooseAnother ? QMessageBox::Open : QMessageBox::No);
    QTimer fileDialogs;
    connect(&fileDialogs, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answerer.setAnswer(QMessageBox::No);
        dialog->setDirectory(second.path());
        QMetaObject::invokeMethod(dialog, "accept");
    });
    fileDialogs.start(20);
    const auto forget = qScopeGuard([] { QFile::remove(UserSettings::defaultFile()); });

    QVERIFY(logIn(*window));
    QTRY_VERIFY(label(*window, "statusLabel")->text() == "Update cancelled");

    const qint64 archiveSize = filesOf(*window)->currentManifest().baseClient.size;
    auto question = [archiveSize](const QString &folder, bool warn) {
        return QStringLiteral("The game is not installed in %1.")
                   .arg(QDir::toNativeSeparators(folder)) +
               (warn ? QStringLiteral("\n\nThat folder already holds other files; the game's "
                                      "files would be written beside them.")
                     : QString()) +
               QStringLiteral("\n\nDownload the full client (%1)?")
                   .arg(quantitytext::size(archiveSize));
    };
    QStringList asked;
    for (const MessageBoxAnswerer::Box &box : answerer.boxes())
        asked << box.title + ": " + box.text;
    QStringList expected{QStringLiteral("Install Game: ") + question(first.path(), otherFiles)};
    if (chooseAnother)
        expected << QStringLiteral("Install Game: ") + question(second.path(), false);
    QCOMPARE(asked.mid(0, expected.size()), expected);
    QCOMPARE(LauncherConfig::instance().gameDirectory, chooseAnother ? second.path() : configured);
    QCOMPARE(UserSettings().gameDirectory(), chooseAnother ? second.path() : QString());
    // Nothing was written into either folder.
    QCOMPARE(QDir(first.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             otherFiles ? QStringList{QStringLiteral("notes.txt")} : QStringList());
    QVERIFY(QDir(second.path()).isEmpty());
}

void MainWindowFlowTest::emptyGameFolderGetsTheBaseClient()
{
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::Yes);
    FileManager *files = filesOf(*window);
    QList<MainWindow::LauncherState> states;
    QStringList progressTexts;
    connect(files, &FileManager::baseClientDownloadProgress, this, [&] {
        states << stateOf(*window);
        progressTexts << label(*window, "downloadLabel")->text();
    });
    connect(files, &FileManager::baseClientExtracting, this, [&] {
        states << stateOf(*window);
        progressTexts << label(*window, "downloadLabel")->text();
    });
    connect(files, &FileManager::baseClientInstalled, this, [&] { states << stateOf(*window); });

    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));
    // Asked first, with the folder and the archive's size from the manifest.
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.last().title, QStringLiteral("Install Game"));
    const qint64 archiveSize = files->currentManifest().baseClient.size;
    QVERIFY(archiveSize > 0);
    QCOMPARE(answerer.last().text,
             QStringLiteral("The game is not installed in %1.\n\nDownload the full client (%2)?")
                 .arg(QDir::toNativeSeparators(gameDir->path()), quantitytext::size(archiveSize)));
    QVERIFY(states.size() >= 3);
    QCOMPARE(states.first(), MainWindow::DownloadingClient);
    QCOMPARE(
        states.mid(states.size() - 2),
        (QList<MainWindow::LauncherState>{MainWindow::ExtractingClient, MainWindow::Verifying}));
    // About half a megabyte of archive, in whole megabytes.
    QCOMPARE(progressTexts.at(progressTexts.size() - 2),
             QStringLiteral("Downloading client: 1 MB / 1 MB"));
    QCOMPARE(progressTexts.last(),
             QString::fromUtf8("Extracting archive — this may take a few minutes..."));
    QCOMPARE(label(*window, "downloadLabel")->text(), QString());
    QCOMPARE(server->recordedRequests("/bc/l2_base_client.zip").size(), 1);
    // Everything came from the archive: no single file was fetched.
    const auto requests = server->recordedRequests();
    QCOMPARE(int(std::count_if(requests.begin(), requests.end(),
                               [](const QJsonObject &request) {
                                   return request.value("path").toString().startsWith("/bc/files/");
                               })),
             0);
    for (const auto &[path, content] : gameFiles) {
        QFile file(gameDir->filePath(path));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(file.readAll() == content, qPrintable(path));
    }

    // No to the whole client: the ordinary question for the single files follows.
    QTest::mouseClick(button(*window, "logoutButton"), Qt::LeftButton);
    for (const auto &[path, content] : gameFiles)
        QVERIFY(QFile::remove(gameDir->filePath(path)));
    answerer.clear();
    answerer.setAnswer(QMessageBox::No);
    QVERIFY(logIn(*window));
    QTRY_COMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Update cancelled"));
    QCOMPARE(answerer.count(), 2);
    QCOMPARE(answerer.boxes().at(0).title, QStringLiteral("Install Game"));
    QCOMPARE(answerer.last().title, QStringLiteral("Update Required"));
    QCOMPARE(server->recordedRequests("/bc/l2_base_client.zip").size(), 1);
}

void MainWindowFlowTest::baseClientErrorShowsBoxAndEmptyBar()
{
    DevServer::Fault fault;
    fault.failCount = -1;
    fault.status = 500;
    server->setFault(QStringLiteral("/bc/l2_base_client.zip"), fault);
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::Yes);

    QVERIFY(logIn(*window));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.count(), 2, 10000);
    QCOMPARE(answerer.last().title, QStringLiteral("Client installation error"));
    QVERIFY(answerer.last().text.startsWith("Failed to install game client:\n\n"));
    QVERIFY(answerer.last().text.endsWith("\n\nCheck your internet connection and try again."));
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Installation error"));
    auto *bar = window->findChild<QProgressBar *>("progressBar");
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(label(*window, "downloadLabel")->text(), QString());
    QCOMPARE(stateOf(*window), MainWindow::UpdateFailed);
    QCOMPARE(button(*window, "playButton")->text(), QStringLiteral("Retry"));
}

void MainWindowFlowTest::manifestAndLaunchErrors()
{
    fillGameFolder();
    DevServer::Fault fault;
    fault.failCount = 1;
    fault.status = 503;
    server->setFault(QStringLiteral("/manifest.json"), fault);
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    MessageBoxAnswerer &answerer = *boxes;

    QVERIFY(logIn(*window));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.count(), 1, 10000);
    QCOMPARE(answerer.last().title, QStringLiteral("Error"));
    // Said once, and still said on the status line after OK.
    QVERIFY2(answerer.last().text.startsWith("Failed to download manifest: ") &&
                 answerer.last().text.count("Failed to download manifest") == 1,
             qPrintable(answerer.last().text));
    QCOMPARE(label(*window, "statusLabel")->text(), answerer.last().text);
    QCOMPARE(stateOf(*window), MainWindow::UpdateFailed);

    // Out and in again gets the files; a game that is not there gives the launch error.
    QTest::mouseClick(button(*window, "logoutButton"), Qt::LeftButton);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QVERIFY(QFile::remove(gameDir->filePath(gameExecutable)));
    LogCapture log([auth = authOf(*window)](const QString &line) { auth->appendLogLine(line); });
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QTRY_COMPARE(answerer.count(), 2);
    QCOMPARE(answerer.last().title, QStringLiteral("Launch Error"));
    QVERIFY(answerer.last().text.startsWith("Failed to start game:\n"));
    QCOMPARE(stateOf(*window), MainWindow::Ready);
    // Still logged in, so the session stays alive.
    QVERIFY(!log.has("INFO", "Heartbeat stopped"));
    QVERIFY(authOf(*window)->findChild<QTimer *>("heartbeatTimer")->isActive());
}

void MainWindowFlowTest::filesFailureOffersRetry_data()
{
    QTest::addColumn<QString>("faultPath");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("blockFolder");
    QTest::addColumn<QString>("statusText");

    // A few failed files are named with the reason of the first.
    const QString failed =
        QStringLiteral("Download failed: 1 file could not be downloaded: maps/16_20.unr (%2).");
    QTest::newRow("404") << "/files/maps/16_20.unr" << 404 << QByteArray() << false
                         << failed.arg(QStringLiteral("404 Not Found"));
    QTest::newRow("wrong body") << "/files/maps/16_20.unr" << 200 << QByteArray(512 * 1024, 'x')
                                << false << failed.arg(QStringLiteral("SHA256 mismatch"));
    QTest::newRow("unwritable folder")
        << QString() << 0 << QByteArray() << true
        << QStringLiteral("Download failed: 1 file could not be downloaded. Cannot write to %1: "
                          "the folder cannot be created.");
    QTest::newRow("only refused entries")
        << "/manifest.json" << 200
        << QByteArray(R"({"version": "2", "files": [{"path": "../escape.dat", "size": 1,)"
                      R"( "sha256": "00"}, {"path": "nodigest.dat", "size": 1}]})")
        << false << "Manifest has no valid files: all 2 entries were refused";
}

// A files flow that cannot finish says so, keeps PLAY from starting a broken game and offers a
// Retry that goes through the manifest, the check and the download again.
void MainWindowFlowTest::filesFailureOffersRetry()
{
    QFETCH(QString, faultPath);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, blockFolder);
    QFETCH(QString, statusText);

    fillGameFolder({"maps/16_20.unr"});
    const QString blocker = gameDir->filePath("maps");
    if (blockFolder)
        QVERIFY(testsupport::writeFile(blocker, "in the way"));
    if (!faultPath.isEmpty()) {
        DevServer::Fault fault{-1, status, body};
        fault.replaceBody = !body.isEmpty();
        server->setFault(faultPath, fault);
    }
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    filesOf(*window)->setRetryDelay(50);
    boxes->setAnswer(QMessageBox::Yes);
    QStringList retryTexts;
    connect(filesOf(*window), &FileManager::retryScheduled, this,
            [&] { retryTexts << label(*window, "statusLabel")->text(); });

    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::UpdateFailed));
    QPushButton *play = button(*window, "playButton");
    QCOMPARE(label(*window, "statusLabel")->text(),
             statusText.arg(QDir::toNativeSeparators(blocker)));
    if (faultPath.startsWith("/files/")) {
        // Each wait for the next attempt is on the status line, with the reason.
        const QString reason = status == 404 ? "404 Not Found" : "SHA256 mismatch";
        QCOMPARE(retryTexts,
                 (QStringList{"Retrying maps/16_20.unr in 1 s (attempt 2 of 3): " + reason,
                              "Retrying maps/16_20.unr in 1 s (attempt 3 of 3): " + reason}));
    }
    if (blockFolder || !faultPath.startsWith("/manifest")) {
        // The bar is no busy one, and the byte count keeps what arrived.
        QCOMPARE(window->findChild<QProgressBar *>("progressBar")->maximum(), 100);
        QCOMPARE(label(*window, "downloadLabel")->text(),
                 QStringLiteral("Downloaded: 0.00 MB / 0.50 MB"));
    }
    QCOMPARE(play->text(), QStringLiteral("Retry"));
    QVERIFY(play->isEnabled());
    QVERIFY(!QFile::exists(gameDir->filePath("maps/16_20.unr")));
    QVERIFY(!QFile::exists(gameDir->filePath("maps/16_20.unr.tmp")));

    // The cause is gone: Retry brings the file and the game can start.
    server->clearFaults();
    if (blockFolder)
        QVERIFY(QFile::remove(blocker));
    QTest::mouseClick(play, Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::Ready));
    QCOMPARE(play->text(), QStringLiteral("PLAY"));
    QFile map(gameDir->filePath("maps/16_20.unr"));
    QVERIFY(map.open(QIODevice::ReadOnly));
    QCOMPARE(map.readAll(), gameFiles.last().second);
}

void MainWindowFlowTest::logoutReturnsToLoginPanel()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QVERIFY(logIn(*window));
    QTRY_COMPARE(label(*window, "loginErrorLabel")->styleSheet(), greenStyle);
    QVERIFY(reaches(*window, MainWindow::Ready));

    QTest::mouseClick(button(*window, "logoutButton"), Qt::LeftButton);
    QCOMPARE(stateOf(*window), MainWindow::Login);
    QVERIFY(window->findChild<QWidget *>("loginPanel")->isVisible());
    for (const char *name : {"statusLabel", "progressBar", "playButton", "logoutButton",
                             "loggedInLabel", "settingsButton"})
        QVERIFY2(!window->findChild<QWidget *>(name)->isVisible(), name);
    QCOMPARE(edit(*window, "loginEdit")->text(), QString());
    QCOMPARE(edit(*window, "passwordEdit")->text(), QString());
    QCOMPARE(label(*window, "loginErrorLabel")->text(), QString());
    QCOMPARE(label(*window, "loginErrorLabel")->styleSheet(), redStyle);
    QCOMPARE(button(*window, "loginButton")->text(), QStringLiteral("LOG IN"));
    QVERIFY(button(*window, "loginButton")->isEnabled());
    QTRY_COMPARE(requestCount("deregister"), 1);
}

void MainWindowFlowTest::logoutEndsTheSessionsWork_data()
{
    QTest::addColumn<int>("phase"); // the phase in which the player logs out
    QTest::addColumn<QString>("slowPath");
    QTest::newRow("manifest") << int(MainWindow::Initializing) << "/bc/manifest.json";
    QTest::newRow("verification") << int(MainWindow::Verifying) << QString();
    QTest::newRow("download") << int(MainWindow::Downloading) << "/bc/files/maps/16_20.unr";
    QTest::newRow("base client") << int(MainWindow::DownloadingClient) << "/bc/l2_base_client.zip";
}

// Whatever the ended session had in flight finishes, if at all, without moving the logged-out
// window and without leaving a file under a game file's name.
void MainWindowFlowTest::logoutEndsTheSessionsWork()
{
    QFETCH(int, phase);
    QFETCH(QString, slowPath);
    const bool baseClient = phase == MainWindow::DownloadingClient;
    if (!baseClient)
        fillGameFolder({"maps/16_20.unr"});
    if (!slowPath.isEmpty())
        server->setFault(slowPath, {0, 200, {}, 1500});
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    boxes->setAnswer(QMessageBox::Yes);
    QPushButton *logout = button(*window, "logoutButton");
    // Verification runs on its own thread: log out the moment the first one has been started.
    QMetaObject::Connection logOutAtOnce;
    if (phase == MainWindow::Verifying) {
        logOutAtOnce = connect(filesOf(*window), &FileManager::manifestDownloaded, logout,
                               [&logOutAtOnce, logout] {
                                   QObject::disconnect(logOutAtOnce);
                                   QTest::mouseClick(logout, Qt::LeftButton);
                               });
    }

    QVERIFY(logIn(*window));
    if (phase != MainWindow::Verifying) {
        QVERIFY(reaches(*window, MainWindow::LauncherState(phase)));
        QTest::mouseClick(logout, Qt::LeftButton);
    }
    QCOMPARE(stateOf(*window), MainWindow::Login);
    const int boxesAtLogout = boxes->count();
    testsupport::quietPeriod(2500);
    QCOMPARE(stateOf(*window), MainWindow::Login);
    QVERIFY(window->findChild<QWidget *>("loginPanel")->isVisible());
    QCOMPARE(boxes->count(), boxesAtLogout);
    QVERIFY(!QFile::exists(gameDir->filePath("maps/16_20.unr")));

    // The next session does the work once, from the start.
    server->clearFaults();
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QFile map(gameDir->filePath("maps/16_20.unr"));
    QVERIFY(map.open(QIODevice::ReadOnly));
    QCOMPARE(map.readAll(), gameFiles.last().second);
}

void MainWindowFlowTest::restoredGameOpensInGameRunning()
{
    // A game left running by an earlier launcher run, recorded in game.pid.
    QProcess game;
    game.setProgram(gameDir->filePath(gameExecutable));
    game.setWorkingDirectory(gameDir->filePath("system"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("WARDGATE_FAKE_GAME_MS", "60000");
    game.setProcessEnvironment(environment);
    game.start();
    QVERIFY(game.waitForStarted());
    GameLauncher::savePid(game.processId());

    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QCOMPARE(stateOf(*window), MainWindow::GameRunning);
    const QStringList logLines = testsupport::readLines(Logger::defaultFilePath());
    QVERIFY(std::any_of(logLines.begin(), logLines.end(), [](const QString &line) {
        return line.endsWith("[INFO] Restored running game from previous session");
    }));
    QVERIFY(!window->findChild<QWidget *>("loginPanel")->isVisible());
    QCOMPARE(button(*window, "playButton")->text(), QStringLiteral("Stop Game"));
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Game running..."));
    QCOMPARE(label(*window, "loggedInLabel")->text(), QStringLiteral("Logged in as: "));
    QCOMPARE(launcherOf(*window)->processId(), game.processId());

    // Its end brings Ready without a login, and no notice for want of a session.
    game.kill();
    QVERIFY(reaches(*window, MainWindow::Ready));
    QVERIFY(button(*window, "playButton")->isEnabled());
    testsupport::quietPeriod(200);
    QCOMPARE(requestCount("game_closed"), 0);
    QCOMPARE(requestCount("register"), 0);
}

void MainWindowFlowTest::closeHidesToTrayOnlyWithTray()
{
    LauncherConfig::instance().authUrl = server->rootUrl() + "/api/auth";
    {
        WindowWithTray window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(trayOf(window)->isVisible());
        QCOMPARE(trayOf(window)->toolTip(), QStringLiteral("Veyrun Launcher"));
        const QList<QAction *> actions = trayMenuOf(window)->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions[0]->text(), QStringLiteral("Restore"));
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2]->text(), QStringLiteral("Quit"));

        // A close request hides the window; it lives on and comes back from the tray.
        QVERIFY(!window.close());
        QVERIFY(!window.isVisible());
        QMetaObject::invokeMethod(
            trayOf(window), "activated",
            Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::Context));
        QVERIFY(!window.isVisible());
        QMetaObject::invokeMethod(
            trayOf(window), "activated",
            Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::DoubleClick));
        QVERIFY(window.isVisible());
        QTest::mouseClick(button(window, "minimizeButton"), Qt::LeftButton);
        QVERIFY(!window.isVisible());
        actions[0]->trigger();
        QVERIFY(window.isVisible());
    }

    // Without a tray to come back from, "─" minimises to the taskbar and a close request asks
    // as "✕" does; No keeps the window.
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(button(window, "minimizeButton"), Qt::LeftButton);
    QVERIFY(window.isVisible());
    QVERIFY(window.isMinimized());
    window.showNormal();
    QVERIFY(boxes->boxes().isEmpty());
    QVERIFY(!window.close());
    QCOMPARE(boxes->count(), 1);
    QCOMPARE(boxes->last().title, QStringLiteral("Close Veyrun"));
    QVERIFY(window.isVisible());
}

// Runs the application's event loop until something quits it; `trigger` runs first, from the
// loop. Returns how long that took, or -1 when the event loop did not end.
static qint64 runUntilQuit(const std::function<void()> &trigger)
{
    QElapsedTimer clock;
    QTimer::singleShot(0, [&] {
        clock.start();
        trigger();
    });
    // A quit that never comes fails the test instead of hanging it.
    bool watchdogFired = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        watchdogFired = true;
        QCoreApplication::exit(1);
    });
    watchdog.start(15000);
    QCoreApplication::exec();
    return watchdogFired ? -1 : clock.elapsed();
}

void MainWindowFlowTest::closeRequestWhileDownloading_data()
{
    QTest::addColumn<bool>("withTray");
    QTest::newRow("with a tray") << true;
    // Debian's default desktop has none.
    QTest::newRow("without a tray") << false;
}

// Alt+F4 or the window manager's close while files download: with a tray the window hides and
// the download goes on; the quit, from the tray or from the close request itself where there is
// no tray, asks what "✕" asks and ends the session at the server.
void MainWindowFlowTest::closeRequestWhileDownloading()
{
    QFETCH(bool, withTray);
    fillGameFolder({"maps/16_20.unr"});
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles, {}, withTray));
    boxes->setAnswer(QMessageBox::Yes);
    filesOf(*window)->setSpeedLimit(32 * 1024);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Downloading));
    const int asked = boxes->count();

    std::function<void()> quit = [&] { window->close(); };
    if (withTray) {
        QVERIFY(!window->close());
        QVERIFY(!window->isVisible());
        QCOMPARE(boxes->count(), asked);
        QCOMPARE(stateOf(*window), MainWindow::Downloading);
        quit = [&] { trayMenuOf(*window)->actions().last()->trigger(); };
    }
    QVERIFY(runUntilQuit(quit) >= 0);
    QCOMPARE(boxes->count(), asked + 1);
    QCOMPARE(boxes->last().title, QStringLiteral("Close Veyrun"));
    QCOMPARE(boxes->last().text, QStringLiteral("The game files are still downloading.\n"
                                                "Are you sure you want to close the launcher?"));
    QCOMPARE(requestCount("deregister"), 1);
}

void MainWindowFlowTest::quitWithGameRunningAnsweredNo()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::No);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QTest::mouseClick(button(*window, "closeButton"), Qt::LeftButton);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.last().text, QStringLiteral("Are you sure you want to close the launcher?"));

    qputenv("WARDGATE_FAKE_GAME_MS", "60000");
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::GameRunning));
    LogCapture log([auth = authOf(*window)](const QString &line) { auth->appendLogLine(line); });
    QTest::mouseClick(button(*window, "closeButton"), Qt::LeftButton);
    QCOMPARE(answerer.count(), 2);
    QCOMPARE(answerer.last().title, QStringLiteral("Close Veyrun"));
    QCOMPARE(answerer.last().text, QStringLiteral("The game is still running.\n"
                                                  "Are you sure you want to close the launcher?"));
    QCOMPARE(answerer.last().defaultButton, QMessageBox::No);
    QCOMPARE(stateOf(*window), MainWindow::GameRunning);
    QVERIFY(window->isEnabled());
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Game running..."));
    QVERIFY(!log.has("INFO", "Heartbeat stopped"));
    QVERIFY(!log.has("INFO", "Quitting application"));
    QCOMPARE(requestCount("deregister"), 0);
    QVERIFY(launcherOf(*window)->isRunning());
    launcherOf(*window)->terminateGame();
    QVERIFY(reaches(*window, MainWindow::Ready));
}

// Quits as the application does, from its event loop; returns how long the quit took, or -1
// when the event loop did not end.
static qint64 quitFromEventLoop(QPushButton *closeButton)
{
    return runUntilQuit([closeButton] { closeButton->click(); });
}

void MainWindowFlowTest::quitWaitsForDeregisterReply()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::Yes);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));

    DevServer::Fault slow;
    slow.failCount = 0;
    slow.delayMs = 600;
    server->setFault(QStringLiteral("/api/auth/deregister"), slow);
    const qint64 elapsed = quitFromEventLoop(button(*window, "closeButton"));
    QVERIFY2(elapsed >= 600 && elapsed < 2500, qPrintable(QString::number(elapsed)));
    QCOMPARE(answerer.last().text, QStringLiteral("Are you sure you want to close the launcher?"));
    QCOMPARE(requestCount("deregister"), 1);
    QVERIFY(!window->isEnabled());
    QCOMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Closing session..."));
    QVERIFY(!trayOf(*window)->isVisible());
}

void MainWindowFlowTest::quitWaitsAtMostThreeSeconds()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    MessageBoxAnswerer &answerer = *boxes;
    answerer.setAnswer(QMessageBox::Yes);
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));

    DevServer::Fault silent;
    silent.failCount = 0;
    silent.delayMs = 20000;
    server->setFault(QStringLiteral("/api/auth/deregister"), silent);
    const qint64 elapsed = quitFromEventLoop(button(*window, "closeButton"));
    // A coarse timer may fire up to 5 % early.
    QVERIFY2(elapsed >= 2850 && elapsed < 4500, qPrintable(QString::number(elapsed)));
    QCOMPARE(requestCount("deregister"), 1);
}

void MainWindowFlowTest::scanRepairsSameSizeDamage()
{
    fillGameFolder();
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QVERIFY(logIn(*window));
    QVERIFY(reaches(*window, MainWindow::Ready));

    // A flipped byte keeps the size, so only the full scan can see it.
    const auto &[path, content] = gameFiles.at(1);
    QByteArray damaged = content;
    damaged[100] = 'x';
    QVERIFY(testsupport::writeFile(gameDir->filePath(path), damaged));

    boxes->setAnswer(QMessageBox::Yes);
    bool scanStarted = false;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<SettingsDialog *>(QApplication::activeModalWidget());
        if (dialog && dialog->findChild<QPushButton *>("scanButton")->isEnabled()) {
            QTest::mouseClick(dialog->findChild<QPushButton *>("scanButton"), Qt::LeftButton);
            scanStarted = true;
        } else if (dialog) {
            dialog->reject();
        }
    });
    QTest::mouseClick(button(*window, "settingsButton"), Qt::LeftButton);
    QVERIFY(scanStarted);
    // What the player's own scan finds is damage.
    QCOMPARE(boxes->last().title, QStringLiteral("Update Required"));
    QCOMPARE(boxes->last().text,
             QStringLiteral("Files need repairing:\nMissing: 0\nDamaged: 1\n\nStart download?"));
    QVERIFY(reaches(*window, MainWindow::Ready));
    QFile repaired(gameDir->filePath(path));
    QVERIFY(repaired.open(QIODevice::ReadOnly));
    QCOMPARE(repaired.readAll(), content);

    // While the game runs the scan is not offered.
    qputenv("WARDGATE_FAKE_GAME_MS", "60000");
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::GameRunning));
    bool offered = true;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<SettingsDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        offered = dialog->findChild<QPushButton *>("scanButton")->isEnabled();
        dialog->reject();
    });
    QTest::mouseClick(button(*window, "settingsButton"), Qt::LeftButton);
    QVERIFY(!offered);
    QTest::mouseClick(button(*window, "playButton"), Qt::LeftButton);
    QVERIFY(reaches(*window, MainWindow::Ready));
}

namespace {

// Presses Tab in `target`'s window until `target` has the focus; false after a full round.
bool tabTo(QWidget *target)
{
    // The offscreen platform has no window manager to hand activation back once a box closes.
    if (!target->window()->isActiveWindow())
        QApplication::setActiveWindow(target->window());
    for (int i = 0; i < 16 && !target->hasFocus(); ++i) {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : target->window(), Qt::Key_Tab);
    }
    return target->hasFocus();
}

// Answers modal message boxes the way a player without a mouse does: Tab to the button, Space.
class KeyboardAnswerer : public QObject
{
public:
    explicit KeyboardAnswerer(QMessageBox::StandardButton answer) : answer(answer)
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box->isVisible() && box->button(this->answer) &&
                tabTo(box->button(this->answer))) {
                titles << box->windowTitle();
                QTest::keyClick(box->button(this->answer), Qt::Key_Space);
            }
        });
        timer.start(20);
    }
    QStringList titles;

private:
    QMessageBox::StandardButton answer;
    QTimer timer;
};

} // namespace

// Log in, download, open and close Settings and quit with keys alone.
void MainWindowFlowTest::keysAlone()
{
    boxes.reset();
    fillGameFolder({"maps/16_20.unr"});
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, PlainFiles));
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    KeyboardAnswerer answerer(QMessageBox::Yes);

    // The user name takes the keys from the start.
    QCOMPARE(QApplication::focusWidget(), edit(*window, "loginEdit"));
    QVERIFY(tabTo(edit(*window, "loginEdit")));
    QTest::keyClicks(QApplication::focusWidget(), "demo");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), edit(*window, "passwordEdit"));
    QTest::keyClicks(QApplication::focusWidget(), "demo123");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(reaches(*window, MainWindow::Ready, 20000));
    QCOMPARE(answerer.titles, QStringList{"Update Required"});
    QCOMPARE(QFileInfo(gameDir->filePath("maps/16_20.unr")).size(), 512 * 1024);

    // Settings opens from its button and Escape closes it.
    bool settingsSeen = false;
    QTimer escape;
    connect(&escape, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<SettingsDialog *>(QApplication::activeModalWidget())) {
            settingsSeen = true;
            QTest::keyClick(dialog, Qt::Key_Escape);
        }
    });
    escape.start(20);
    QVERIFY(tabTo(button(*window, "settingsButton")));
    QTest::keyClick(button(*window, "settingsButton"), Qt::Key_Space);
    QVERIFY(settingsSeen);
    QVERIFY(!QApplication::activeModalWidget());
    escape.stop();

    // "✕" is reached by Tab, says what it is, and asks before the launcher quits.
    QPushButton *close = button(*window, "closeButton");
    QVERIFY(!close->accessibleName().isEmpty());
    QVERIFY(tabTo(close));
    QTimer::singleShot(0, close, [close] { QTest::keyClick(close, Qt::Key_Space); });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(15000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(answerer.titles.last(), QStringLiteral("Close Veyrun"));
    QCOMPARE(requestCount("deregister"), 1);
}

void MainWindowFlowTest::settingsHoldTheFilesFlow_data()
{
    QTest::addColumn<bool>("emptyFolders");
    // The manifest arrives while the dialog is open and a complete folder is chosen: no question
    // over the dialog, and the new folder is checked once the dialog has closed.
    QTest::newRow("complete folder chosen") << false;
    // The whole client was declined for an empty folder; another empty folder gets the offer.
    QTest::newRow("empty folder chosen") << true;
}

// The Settings dialog holds the files flow: nothing the flow brings meanwhile shows over it, the
// scan waits for the running work, and a new folder is always checked before PLAY.
void MainWindowFlowTest::settingsHoldTheFilesFlow()
{
    QFETCH(bool, emptyFolders);
    QTemporaryDir chosen;
    QVERIFY(chosen.isValid());
    if (!emptyFolders) {
        for (const auto &[path, content] : gameFiles)
            QVERIFY(testsupport::writeFile(chosen.filePath(path), content));
        QVERIFY(QFile::copy(gameDir->filePath(gameExecutable), chosen.filePath(gameExecutable)));
        fillGameFolder({"maps/16_20.unr"});
        server->setFault("/bc/manifest.json", {0, 200, {}, 800});
    }
    std::unique_ptr<MainWindow> window;
    QVERIFY(openWindow(window, WithBaseClient));
    boxes->setAnswer(QMessageBox::No);
    QVERIFY(logIn(*window));
    if (emptyFolders) {
        QVERIFY(reaches(*window, MainWindow::Verifying));
        QTRY_COMPARE(label(*window, "statusLabel")->text(), QStringLiteral("Update cancelled"));
        QCOMPARE(boxes->boxes().first().title, QStringLiteral("Install Game"));
    } else {
        QVERIFY(reaches(*window, MainWindow::Initializing));
    }
    const int boxesBefore = boxes->count();

    bool scanOffered = true;
    bool boxOverDialog = false;
    QSignalSpy manifests(filesOf(*window), &FileManager::manifestDownloaded);
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<SettingsDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        scanOffered = dialog->findChild<QPushButton *>("scanButton")->isEnabled();
        if (!emptyFolders) {
            QVERIFY(manifests.wait(5000));
            testsupport::quietPeriod(200);
        }
        boxOverDialog = boxes->count() != boxesBefore;
        dialog->chooseGameFolder(chosen.path());
        dialog->reject();
    });
    QTest::mouseClick(button(*window, "settingsButton"), Qt::LeftButton);
    QCOMPARE(scanOffered, emptyFolders);
    QVERIFY(!boxOverDialog);
    if (emptyFolders) {
        QTRY_COMPARE(boxes->count(), boxesBefore + 2);
        QCOMPARE(boxes->boxes().at(boxesBefore).title, QStringLiteral("Install Game"));
        QVERIFY(
            boxes->boxes().at(boxesBefore).text.contains(QDir::toNativeSeparators(chosen.path())));
    } else {
        QVERIFY(reaches(*window, MainWindow::Ready));
        QCOMPARE(boxes->count(), boxesBefore);
        QCOMPARE(server->recordedRequests("/bc/files/maps/16_20.unr").size(), 0);
    }
}

QTEST_MAIN(MainWindowFlowTest)
#include "tst_mainwindowflows.moc"
