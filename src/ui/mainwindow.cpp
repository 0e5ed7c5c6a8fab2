#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "auth/authclient.h"
#include "auth/credentialstore.h"
#include "core/gamefolder.h"
#include "core/gameprogram.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "core/usersettings.h"
#include "deployment.h"
#include "files/diskspace.h"
#include "files/filemanager.h"
#include "game/gamelauncher.h"
#include "game/processguard.h"
#include "net/diskwrite.h"
#include "ui/quantitytext.h"
#include "ui/settingsdialog.h"
#include "ui/theme.h"
#include "ui/windowmessagebox.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStorageInfo>
#include <QTimer>
#include <QtNumeric>
#include <QUrl>

#include <limits>

namespace {

void log(LogLevel level, const QString &message)
{
    Logger::instance().log(level, message);
}

const QString loginErrorStyle =
    QStringLiteral("color: #ff4444; font-size: 10pt; background-color: transparent; padding: 2px;");
const QString loginSuccessStyle =
    QStringLiteral("color: #44ff88; font-size: 11pt; font-weight: bold; "
                   "background-color: transparent; padding: 2px;");

// What the form cannot say: dialogs in the dark look, no band under an empty progress line, and a
// login form that keeps its place whatever its error line and Retry button show.
void finishLook(QMainWindow *window, Ui::MainWindow &ui)
{
    window->setStyleSheet(window->styleSheet() + theme::dialogStyleSheet());
    theme::bandBehindText(ui.downloadLabel);
    theme::bandBehindText(ui.currentFileLabel);
    // The panel keeps its own height: the spacers around it give way, whatever its lines say.
    ui.loginPanel->setSizePolicy(ui.loginPanel->sizePolicy().horizontalPolicy(),
                                 QSizePolicy::Fixed);
    // A status line of two lines (a long reason) keeps both: the spacers give way, not the text.
    ui.statusLabel->setSizePolicy(ui.statusLabel->sizePolicy().horizontalPolicy(),
                                  QSizePolicy::Minimum);
    QSizePolicy retry = ui.retryButton->sizePolicy();
    retry.setRetainSizeWhenHidden(true);
    ui.retryButton->setSizePolicy(retry);
    // Two lines of the error font: "Enter login." and most server messages fit without a jump.
    ui.loginErrorLabel->ensurePolished();
    ui.loginErrorLabel->setMinimumHeight(2 * ui.loginErrorLabel->fontMetrics().lineSpacing() + 4);
}

// The update question's details list this many files by name, then says how many more there are.
constexpr int listedFiles = 300;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), fileManager(new FileManager(this)),
      authClient(new AuthClient(this)), gameLauncher(new GameLauncher(this)),
      processGuard(new ProcessGuard(this)), credentials(new CredentialStore(this))
{
    ui->setupUi(this);
    finishLook(this, *ui);
    handOverTimer = new QTimer(this);
    handOverTimer->setSingleShot(true);
    handOverTimer->setTimerType(Qt::PreciseTimer);
    handOverTimer->setInterval(800);
    connect(handOverTimer, &QTimer::timeout, this, &MainWindow::onHandOverTimeout);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    setAttribute(Qt::WA_TranslucentBackground);
    createTrayIcon();
    // No window mask: the rounded shape comes from the translucent painting alone.
    clearMask();
    update();

    connectServices();
    fileManager->setSpeedLimit(qint64(UserSettings().speedLimit()) * 1024);
    // Every finished log line also goes to the auth client's upload queue, from any thread.
    AuthClient *auth = authClient;
    Logger::instance().setLogListener([auth](const QString &line) { auth->appendLogLine(line); });

    if (gameLauncher->restoreRunningGame()) {
        log(Info, QStringLiteral("Restored running game from previous session"));
        state = GameRunning;
        updateUI();
        processGuard->startMonitoring(gameLauncher->processId(), gameExecutableDirectory());
    }

    updateUI();
    ui->versionLabel->setText(QStringLiteral("v%1").arg(QCoreApplication::applicationVersion()));
    makeKeyboardFriendly();
    if (state == Login)
        restoreRememberedLogin();
    authClient->startServerMonitoring();
}

void MainWindow::makeKeyboardFriendly()
{
    // Names for the controls that show only a sign, for screen readers and tool tips.
    ui->minimizeButton->setAccessibleName(tr("Minimize to tray"));
    ui->minimizeButton->setToolTip(ui->minimizeButton->accessibleName());
    ui->closeButton->setAccessibleName(tr("Quit"));
    ui->closeButton->setToolTip(ui->closeButton->accessibleName());
    ui->discordButton->setAccessibleName(tr("Discord"));
    ui->playButton->setAccessibleDescription(tr("Starts the game once its files are ready."));
    // Tab goes through the panel on show in reading order, then the window's own buttons.
    const std::initializer_list<QWidget *> order{
        ui->loginEdit,    ui->passwordEdit,  ui->rememberMe,     ui->loginButton,
        ui->retryButton,  ui->playButton,    ui->pauseButton,    ui->settingsButton,
        ui->logoutButton, ui->discordButton, ui->minimizeButton, ui->closeButton};
    QWidget *previous = nullptr;
    for (QWidget *widget : order) {
        widget->setFocusPolicy(Qt::StrongFocus);
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    // A player starts by typing the user name, not on the first button in the window's order.
    if (state == Login)
        ui->loginEdit->setFocus();
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // The window has no title bar to drag from the keyboard: Alt with an arrow moves it.
    static constexpr int step = 20;
    if (event->modifiers() == Qt::AltModifier) {
        const QPoint offset = event->key() == Qt::Key_Left    ? QPoint(-step, 0)
                              : event->key() == Qt::Key_Right ? QPoint(step, 0)
                              : event->key() == Qt::Key_Up    ? QPoint(0, -step)
                              : event->key() == Qt::Key_Down  ? QPoint(0, step)
                                                              : QPoint();
        if (!offset.isNull()) {
            move(pos() + offset);
            event->accept();
            return;
        }
    }
    QMainWindow::keyPressEvent(event);
}

MainWindow::~MainWindow()
{
    // The listener reaches into the auth client, which goes with the window's children.
    Logger::instance().setLogListener({});
    trayIcon->setVisible(false);
    delete trayIcon;
}

void MainWindow::createTrayIcon()
{
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/images/app_icon.ico")), this);
    trayIcon->setToolTip(tr("Veyrun Launcher"));
    trayMenu = new QMenu(this);
    auto *restoreAction = new QAction(tr("Restore"), this);
    auto *quitAction = new QAction(tr("Quit"), this);
    trayMenu->addAction(restoreAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    connect(restoreAction, &QAction::triggered, this, &MainWindow::onTrayRestore);
    connect(quitAction, &QAction::triggered, this, &MainWindow::onTrayQuit);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::onTrayIconActivated);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setVisible(true);
    log(Info, QStringLiteral("System tray icon created"));
}

void MainWindow::connectServices()
{
    connect(fileManager, &FileManager::manifestDownloaded, this, &MainWindow::onManifestDownloaded);
    connect(fileManager, &FileManager::verificationProgress, this,
            &MainWindow::onVerificationProgress);
    connect(fileManager, &FileManager::verificationComplete, this,
            &MainWindow::onVerificationComplete);
    connect(fileManager, &FileManager::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(fileManager, &FileManager::fileDownloadComplete, this,
            &MainWindow::onFileDownloadComplete);
    connect(fileManager, &FileManager::allFilesReady, this, &MainWindow::onAllFilesReady);
    connect(fileManager, &FileManager::downloadFailed, this, &MainWindow::onDownloadFailed);
    connect(fileManager, &FileManager::errorOccurred, this, &MainWindow::onFileError);
    connect(fileManager, &FileManager::retryScheduled, this, &MainWindow::onRetryScheduled);
    connect(fileManager, &FileManager::integrityViolation, this, &MainWindow::onIntegrityViolation);
    connect(fileManager, &FileManager::baseClientDownloadProgress, this,
            &MainWindow::onBaseClientDownloadProgress);
    connect(fileManager, &FileManager::baseClientExtracting, this,
            &MainWindow::onBaseClientExtracting);
    connect(fileManager, &FileManager::baseClientInstalled, this,
            &MainWindow::onBaseClientInstalled);
    connect(fileManager, &FileManager::baseClientError, this, &MainWindow::onBaseClientError);
    connect(authClient, &AuthClient::sessionRegistered, this, &MainWindow::onSessionRegistered);
    connect(authClient, &AuthClient::authError, this, &MainWindow::onAuthError);
    connect(authClient, &AuthClient::serverStatusChanged, this, &MainWindow::onServerStatusChanged);
    connect(gameLauncher, &GameLauncher::gameStarted, this, &MainWindow::onGameStarted);
    connect(gameLauncher, &GameLauncher::gameClosed, this, &MainWindow::onGameClosed);
    connect(gameLauncher, &GameLauncher::launchError, this, &MainWindow::onLaunchError);
    connect(processGuard, &ProcessGuard::foreignClientDetected, this,
            &MainWindow::onForeignClientDetected);
    // Return in either field logs in, as the button does.
    connect(ui->loginButton, &QPushButton::clicked, this, &MainWindow::onLoginButtonClicked);
    connect(ui->loginEdit, &QLineEdit::returnPressed, this, &MainWindow::onLoginButtonClicked);
    connect(ui->passwordEdit, &QLineEdit::returnPressed, this, &MainWindow::onLoginButtonClicked);
    connect(ui->rememberMe, &QCheckBox::toggled, this, &MainWindow::onRememberMeToggled);
    connect(credentials, &CredentialStore::passwordFound, this, &MainWindow::onPasswordFound);
    connect(credentials, &CredentialStore::unavailable, this,
            &MainWindow::onCredentialStoreUnavailable);
    connect(ui->retryButton, &QPushButton::clicked, this, &MainWindow::onRetryButtonClicked);
    connect(ui->logoutButton, &QPushButton::clicked, this, &MainWindow::onLogoutButtonClicked);
    connect(ui->playButton, &QPushButton::clicked, this, &MainWindow::onPlayButtonClicked);
    connect(ui->pauseButton, &QPushButton::clicked, this, &MainWindow::onPauseButtonClicked);
    connect(ui->settingsButton, &QPushButton::clicked, this, &MainWindow::onSettingsButtonClicked);
    connect(ui->minimizeButton, &QPushButton::clicked, this, &MainWindow::onMinimizeButtonClicked);
    connect(ui->closeButton, &QPushButton::clicked, this, &MainWindow::onTrayQuit);
    connect(ui->discordButton, &QPushButton::clicked, this, &MainWindow::onDiscordButtonClicked);
}

void MainWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    QPainterPath frame;
    frame.addRoundedRect(0, 0, width(), height(), 12.0, 12.0);

    const QPixmap background(backgroundImagePath());
    if (background.isNull()) {
        painter.fillPath(frame, QColor(20, 20, 20));
    } else {
        painter.setClipPath(frame);
        // Fill the whole window and crop the overhang equally on both sides.
        const QPixmap scaled =
            background.scaled(size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        painter.drawPixmap((width() - scaled.width()) / 2, (height() - scaled.height()) / 2,
                           scaled);
        painter.setClipping(false);
    }

    painter.setPen(
        QPen(QColor(140, 146, 152, 200), 3.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawPath(frame);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    clearMask();
    update();
}

// Presses that no child takes (background, labels) grab the window; buttons and fields keep theirs.
void MainWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragPosition = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
    }
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragPosition);
        event->accept();
    }
}

void MainWindow::updateUI()
{
    const bool loggingIn = state == Login;
    ui->loginPanel->setVisible(loggingIn);
    const std::initializer_list<QWidget *> sessionWidgets{
        ui->statusLabel, ui->progressBar,    ui->downloadLabel, ui->currentFileLabel,
        ui->playButton,  ui->settingsButton, ui->loggedInLabel, ui->logoutButton};
    for (QWidget *widget : sessionWidgets)
        widget->setVisible(!loggingIn);
    // Only a download can be paused; a paused one shows Resume.
    ui->pauseButton->setVisible(state == Downloading || state == DownloadingClient);
    ui->pauseButton->setText(fileManager->downloadsPaused() ? tr("Resume") : tr("Pause"));

    if (!loggingIn)
        ui->loggedInLabel->setText(tr("Logged in as: %1").arg(currentAccountName()));

    switch (state) {
    case Login:
        ui->loginErrorLabel->clear();
        ui->retryButton->hide();
        ui->loginButton->setEnabled(true);
        ui->loginButton->setText(tr("LOG IN"));
        ui->loginEdit->setEnabled(true);
        ui->passwordEdit->setEnabled(true);
        break;
    case Initializing:
        ui->statusLabel->setText(tr("Initializing..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setValue(0);
        break;
    case DownloadingClient:
        ui->statusLabel->setText(tr("Downloading game client..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(0);
        break;
    case ExtractingClient:
        ui->statusLabel->setText(tr("Extracting client..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(0);
        break;
    case Verifying:
        // Busy until the check reports its bytes.
        ui->statusLabel->setText(tr("Verifying files..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(0);
        break;
    case Downloading:
        ui->statusLabel->setText(tr("Downloading updates..."));
        ui->playButton->setEnabled(false);
        ui->progressBar->setMaximum(100);
        break;
    case Ready:
        ui->statusLabel->setText(tr("Ready!"));
        ui->playButton->setEnabled(true);
        ui->playButton->setText(tr("PLAY"));
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(100);
        break;
    case GameRunning:
        ui->statusLabel->setText(tr("Game running..."));
        ui->playButton->setEnabled(true);
        ui->playButton->setText(tr("Stop Game"));
        ui->progressBar->setValue(100);
        break;
    case UpdateFailed:
        // The status line says what failed; the button starts the files over.
        ui->playButton->setEnabled(true);
        ui->playButton->setText(tr("Retry"));
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(0);
        break;
    case UpdateDeclined:
        // The files the player declined are still the way on: the button fetches them.
        ui->statusLabel->setText(tr("Update cancelled"));
        ui->playButton->setEnabled(true);
        ui->playButton->setText(tr("Update"));
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(0);
        break;
    }
}

// Empty for a game taken over from an earlier run, where nobody has logged in.
QString MainWindow::currentAccountName() const
{
    return authClient->account();
}

QString MainWindow::backgroundImagePath() const
{
    return QStringLiteral(":/images/background.png");
}

QString MainWindow::gameExecutablePath() const
{
    const LauncherConfig &config = LauncherConfig::instance();
    return locateGameProgram(config.gameDirectory, config.gameExecutable).fullPath;
}

// A program outside the game folder never gives the guard its idea of our game: the folder
// itself stands in for it.
QString MainWindow::gameExecutableDirectory() const
{
    const LauncherConfig &config = LauncherConfig::instance();
    const GameProgram program = locateGameProgram(config.gameDirectory, config.gameExecutable);
    if (!program.problem.isEmpty())
        return QFileInfo(config.gameDirectory).absoluteFilePath();
    return QFileInfo(program.fullPath).absolutePath();
}

// Login flow

void MainWindow::disableLoginForm()
{
    ui->loginErrorLabel->clear();
    ui->loginButton->setEnabled(false);
    ui->loginButton->setText(tr("Connecting..."));
    ui->loginEdit->setEnabled(false);
    ui->passwordEdit->setEnabled(false);
}

void MainWindow::onLoginButtonClicked()
{
    const QString login = ui->loginEdit->text().trimmed();
    // The password goes as typed: spaces may be part of it.
    const QString password = ui->passwordEdit->text();
    if (login.isEmpty()) {
        ui->loginErrorLabel->setText(tr("Enter login."));
        return;
    }
    if (password.isEmpty()) {
        ui->loginErrorLabel->setText(tr("Enter password."));
        return;
    }
    disableLoginForm();
    attemptedLogin = login;
    attemptedPassword = password;
    authClient->setCredentials(login, password);
    authClient->registerSession();
}

// Sends the credentials of the last attempt again; the fields may have been edited since.
void MainWindow::onRetryButtonClicked()
{
    ui->retryButton->hide();
    disableLoginForm();
    authClient->registerSession();
}

void MainWindow::onSessionRegistered(bool success, const QString &message)
{
    if (!success) {
        log(Warn, QStringLiteral("Login failed: %1").arg(message));
        // A remembered password the server refuses is no use at the next start either.
        if (authClient->loginRefused() && !UserSettings().rememberedAccount().isEmpty())
            credentials->forget(attemptedLogin);
        ui->loginErrorLabel->setText(message.isEmpty() ? tr("Login failed. Check your credentials.")
                                                       : message);
        ui->loginButton->setEnabled(true);
        ui->loginButton->setText(tr("LOG IN"));
        ui->loginEdit->setEnabled(true);
        ui->passwordEdit->setEnabled(true);
        ui->retryButton->show();
        return;
    }

    log(Info, QStringLiteral("Session registered successfully"));
    rememberLogin();
    ui->loginErrorLabel->setStyleSheet(loginSuccessStyle);
    ui->loginErrorLabel->setText(tr("Login successful!"));
    authClient->startHeartbeat();
    authClient->flushLogs();
    // The player sees the green line for a moment before the files take over the window.
    handOverTimer->start();
}

void MainWindow::onHandOverTimeout()
{
    ui->loginErrorLabel->setStyleSheet(loginErrorStyle);
    log(Info, QStringLiteral("Starting update process..."));
    startFilesFlow();
}

void MainWindow::startFilesFlow()
{
    // The remote configuration has named the game's executable by now: a working folder that
    // holds it is the game folder after all.
    gamefolder::settle(LauncherConfig::instance(), QDir::currentPath());
    baseClientTried = false;
    state = Initializing;
    updateUI();
    // After a Retry the button reads "PLAY" again while it waits, disabled, for the files.
    ui->playButton->setText(tr("PLAY"));
    ui->downloadLabel->clear();
    fileManager->downloadManifest();
}

void MainWindow::onAuthError(const QString &error)
{
    // The login form comes back through sessionRegistered(false, ...), not here.
    log(Warn, QStringLiteral("Auth error: %1").arg(error));
}

void MainWindow::onServerStatusChanged(bool online)
{
    if (online) {
        ui->serverStatusLabel->setText(tr("● Online"));
        ui->serverStatusLabel->setStyleSheet(
            QStringLiteral("color: #44ff88; font-size: 9pt; font-weight: bold; "
                           "background-color: transparent; padding: 2px 8px;"));
    } else {
        // A refused certificate is named: the player can tell the server's people exactly that.
        const QString problem = authClient->connectionProblem();
        ui->serverStatusLabel->setText(problem.isEmpty() ? tr("● Offline")
                                                         : tr("● Offline: %1").arg(problem));
        ui->serverStatusLabel->setStyleSheet(
            QStringLiteral("color: #ff4444; font-size: 9pt; font-weight: bold; "
                           "background-color: transparent; padding: 2px 8px;"));
    }
}

// A running game and its guard are left alone: logging out is not quitting the game.
void MainWindow::onLogoutButtonClicked()
{
    endSession(QString());
    ui->loginEdit->clear();
    log(Info, QStringLiteral("User logged out"));
    restoreRememberedLogin();
}

void MainWindow::restoreRememberedLogin()
{
    const QString account = UserSettings().rememberedAccount();
    const QSignalBlocker quiet(ui->rememberMe);
    ui->rememberMe->setChecked(!account.isEmpty());
    if (account.isEmpty())
        return;
    ui->loginEdit->setText(account);
    ui->passwordEdit->setFocus();
    credentials->read(account);
}

void MainWindow::onPasswordFound(const QString &account, const QString &password)
{
    // Only into the untouched form of the same account: a name typed meanwhile is the player's.
    if (state != Login || !ui->loginButton->isEnabled() || !ui->rememberMe->isChecked() ||
        ui->loginEdit->text().trimmed() != account || !ui->passwordEdit->text().isEmpty())
        return;
    ui->passwordEdit->setText(password);
    // The player still presses LOG IN.
    ui->loginButton->setFocus();
}

void MainWindow::rememberLogin()
{
    UserSettings settings;
    const QString previous = settings.rememberedAccount();
    if (ui->rememberMe->isChecked()) {
        if (!previous.isEmpty() && previous.toLower() != attemptedLogin.toLower())
            credentials->forget(previous);
        if (settings.setRememberedAccount(attemptedLogin))
            credentials->store(attemptedLogin, attemptedPassword);
    }
    attemptedPassword.clear();
}

void MainWindow::onRememberMeToggled(bool on)
{
    if (on)
        return;
    ui->rememberNote->hide();
    UserSettings settings;
    const QString account = settings.rememberedAccount();
    if (account.isEmpty())
        return;
    settings.setRememberedAccount(QString());
    credentials->forget(account);
    log(Info, QStringLiteral("Remember me switched off: the account is forgotten"));
}

void MainWindow::onCredentialStoreUnavailable()
{
    if (!ui->rememberMe->isChecked())
        return;
    ui->rememberNote->setText(tr("Only the account name is remembered: no password store "
                                 "answers on this computer."));
    ui->rememberNote->show();
}

void MainWindow::endSession(const QString &reason)
{
    // Nothing of the ended session may move the window on: a pending hand-over, a late manifest,
    // verification, download or base-client result.
    handOverTimer->stop();
    heldBack = nullptr;
    attemptedPassword.clear();
    ui->loginErrorLabel->setStyleSheet(loginErrorStyle);
    fileManager->cancelAll();
    authClient->flushLogs();
    authClient->stopHeartbeat();
    authClient->deregisterSession();
    fileManager->stopIntegrityMonitor();
    state = Login;
    updateUI();
    ui->passwordEdit->clear();
    ui->loginErrorLabel->setText(reason);
    ui->loginEdit->setFocus();
}

// Files and play flow

void MainWindow::onManifestDownloaded(bool success, const QString &message)
{
    // A manifest asked for by an earlier phase moves nothing.
    if (state != Initializing)
        return;
    if (settingsOpen) {
        heldBack = [this, success, message] { onManifestDownloaded(success, message); };
        return;
    }
    if (!success) {
        // The text says what failed: the download, the list's form, or its signature's check
        // (a list that arrived and was refused). The status line keeps saying it after OK.
        showBox(QMessageBox::Critical, tr("Error"), message, QMessageBox::Ok);
        showFilesFailure(message);
        return;
    }
    log(Info, QStringLiteral("Manifest: %1").arg(message));
    state = Verifying;
    updateUI();
    fileManager->verifyFiles();
}

void MainWindow::onVerificationProgress(qint64 checked, qint64 total)
{
    if (state != Verifying || total <= 0)
        return;
    ui->progressBar->setMaximum(100);
    ui->progressBar->setValue(int(double(checked) * 100 / double(total)));
    ui->downloadLabel->setText(
        tr("Checking game files: %1").arg(quantitytext::doneOfTotal(checked, total)));
}

void MainWindow::onVerificationComplete(int missingFiles, int corruptedFiles)
{
    // Only the check of the Verifying phase decides; the file manager voids older passes itself.
    if (state != Verifying)
        return;
    if (settingsOpen) {
        heldBack = [this, missingFiles, corruptedFiles] {
            onVerificationComplete(missingFiles, corruptedFiles);
        };
        return;
    }
    // The check is over: no busy bar behind a question or after "Update cancelled".
    ui->progressBar->setMaximum(100);
    ui->progressBar->setValue(0);
    ui->downloadLabel->clear();
    if (missingFiles == 0 && corruptedFiles == 0) {
        log(Info, QStringLiteral("All files verified - ready to play"));
        state = Ready;
        updateUI();
        return;
    }

    // An empty game folder gets the whole client from one archive instead of file by file, if the
    // player agrees to a download of that size; otherwise the files come one by one.
    const Manifest &manifest = fileManager->currentManifest();
    if (!baseClientTried && missingFiles == manifest.files.size() &&
        !manifest.baseClient.url.isEmpty()) {
        baseClientTried = true;
        const InstallAnswer answer = askForBaseClient(manifest.baseClient.size);
        if (answer == InstallAnswer::Install) {
            startBaseClientInstall();
            return;
        }
        if (answer == InstallAnswer::ChooseFolder && chooseInstallFolder()) {
            // The new folder may hold the game already: check it, and ask again if it does not.
            baseClientTried = false;
            fileManager->verifyFiles();
            return;
        }
    }

    if (!askForUpdate(missingFiles, corruptedFiles, fileManager->downloadQueue())) {
        state = UpdateDeclined;
        updateUI();
        return;
    }
    state = Downloading;
    retryingFile.clear();
    updateUI();
    fileManager->startDownload();
}

QMessageBox::StandardButton MainWindow::showBox(QMessageBox::Icon icon, const QString &title,
                                                const QString &text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton)
{
    WindowMessageBox box(icon, title, text, buttons, this, ui->statusLabel);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

bool MainWindow::askForUpdate(int missingFiles, int differentFiles, const QList<FileEntry> &files,
                              bool repair)
{
    // A file unlike the server's is out of date after an ordinary check; only the player's full
    // scan, against the list the files were brought up to, finds damage.
    const QString counts =
        repair ? tr("Files need repairing:\nMissing: %L1\nDamaged: %L2\n\nStart download?")
               : tr("Files need updating:\nMissing: %L1\nOut of date: %L2\n\nStart download?");
    WindowMessageBox box(QMessageBox::Question, tr("Update Required"),
                         counts.arg(missingFiles).arg(differentFiles),
                         QMessageBox::Yes | QMessageBox::No, this, ui->statusLabel);
    qint64 bytes = 0;
    QStringList names;
    for (const FileEntry &entry : files) {
        // A hostile manifest's sizes must not wrap the sum.
        if (qAddOverflow(bytes, entry.size, &bytes))
            bytes = std::numeric_limits<qint64>::max();
        if (names.size() < listedFiles)
            names.append(entry.path);
    }
    if (files.size() > listedFiles)
        names.append(tr("and %1 more").arg(files.size() - listedFiles));
    QString sizeLine = tr("Download size: %1").arg(quantitytext::size(bytes));
    // The player may still go on: space can be freed while the download runs.
    const QString gameDirectory = LauncherConfig::instance().gameDirectory;
    const qint64 shortfall = diskSpaceShortfall(gameDirectory, bytes);
    if (shortfall > 0)
        sizeLine += QStringLiteral("\n\n") + notEnoughSpace(gameDirectory, shortfall).shown();
    box.setInformativeText(sizeLine);
    box.setDetailedText(names.join(QLatin1Char('\n')));
    // Qt sizes the details button for a plain font: the dark look's bold one needs room for the
    // longer of its two labels. A style sheet's width, since the look's own would win over
    // setMinimumWidth.
    for (QAbstractButton *button : box.buttons()) {
        if (box.buttonRole(button) != QMessageBox::ActionRole)
            continue;
        QFont bold = button->font();
        bold.setBold(true);
        const int width = QFontMetrics(bold).horizontalAdvance(QMessageBox::tr("Hide Details..."));
        button->setStyleSheet(QStringLiteral("min-width: %1px;").arg(width + 8));
    }
    return box.exec() == QMessageBox::Yes;
}

MainWindow::InstallAnswer MainWindow::askForBaseClient(qint64 size)
{
    const QDir folder(
        QDir::cleanPath(QDir(LauncherConfig::instance().gameDirectory).absolutePath()));
    const QString name = QDir::toNativeSeparators(folder.path());
    QString question = tr("The game is not installed in %1.").arg(name);
    // No game there, but something else: the client's files would land among the player's own.
    const QString executable = LauncherConfig::instance().gameExecutable;
    const bool holdsGame = !executable.isEmpty() && QFileInfo::exists(folder.filePath(executable));
    if (!holdsGame &&
        !folder.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        question += tr("\n\nThat folder already holds other files; the game's files would be "
                       "written beside them.");
    // The archive lands in the user's data folder and unpacks to at least its own size.
    const QString archive =
        FileManager::baseClientArchivePath(fileManager->currentManifest().baseClient.url);
    const QString archiveFolder = QFileInfo(archive).absolutePath();
    const qint64 archiveShort = diskSpaceShortfall(archiveFolder, size);
    const qint64 folderShort =
        QStorageInfo(archiveFolder).rootPath() == QStorageInfo(folder.path()).rootPath()
            ? diskSpaceShortfall(folder.path(), 2 * size)
            : diskSpaceShortfall(folder.path(), size);
    if (folderShort > 0)
        question += QStringLiteral("\n\n") + notEnoughSpace(folder.path(), folderShort).shown();
    else if (archiveShort > 0)
        question += QStringLiteral("\n\n") + notEnoughSpace(archiveFolder, archiveShort).shown();
    question += size > 0 ? tr("\n\nDownload the full client (%1)?").arg(quantitytext::size(size))
                         : tr("\n\nDownload the full client?");
    WindowMessageBox box(QMessageBox::Question, tr("Install Game"), question,
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Open, this,
                         ui->statusLabel);
    box.button(QMessageBox::Open)->setText(tr("&Choose Another Folder..."));
    box.setDefaultButton(QMessageBox::Yes);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return InstallAnswer::Install;
    case QMessageBox::Open:
        return InstallAnswer::ChooseFolder;
    default:
        return InstallAnswer::Decline;
    }
}

bool MainWindow::chooseInstallFolder()
{
    LauncherConfig &config = LauncherConfig::instance();
    const QString chosen = QFileDialog::getExistingDirectory(
        this, tr("Choose the game folder"), QDir(config.gameDirectory).absolutePath());
    if (chosen.isEmpty())
        return false;
    const QString absolute = QDir::cleanPath(QDir(chosen).absolutePath());
    if (!UserSettings().setGameDirectory(absolute)) {
        ui->statusLabel->setText(tr("The choice could not be saved."));
        return false;
    }
    config.gameDirectory = absolute;
    config.gameDirectoryUnnamed = false;
    log(Info, QStringLiteral("Game folder: %1 (chosen before the install)").arg(absolute));
    return true;
}

void MainWindow::startBaseClientInstall()
{
    const QString gameDirectory = LauncherConfig::instance().gameDirectory;
    log(Info, QStringLiteral("No game files found - installing the base client into %1")
                  .arg(gameDirectory));
    state = DownloadingClient;
    updateUI();
    ui->downloadLabel->clear();
    ui->currentFileLabel->clear();
    fileManager->installBaseClient(fileManager->currentManifest().baseClient, gameDirectory);
}

QString MainWindow::rateSuffix(qint64 downloaded, qint64 total)
{
    if (!rateClock.isValid())
        rateClock.start();
    if (rateFor != state) {
        downloadRate.reset();
        rateFor = state;
    }
    downloadRate.add(downloaded, rateClock.elapsed());
    return quantitytext::progressSuffix(downloadRate.bytesPerSecond(),
                                        downloadRate.secondsLeft(total - downloaded));
}

void MainWindow::onPauseButtonClicked()
{
    if (state != Downloading && state != DownloadingClient)
        return;
    // The speed before a pause says nothing about the speed after it.
    downloadRate.reset();
    // The bar keeps what has arrived: the phase's own look would start it at nothing again.
    const int arrived = ui->progressBar->value();
    if (fileManager->downloadsPaused()) {
        fileManager->resumeDownloads();
        updateUI();
        ui->progressBar->setValue(arrived);
        return;
    }
    fileManager->pauseDownloads();
    updateUI();
    ui->progressBar->setValue(arrived);
    if (fileManager->downloadsPaused())
        showPaused();
}

// The line below the bar keeps what has arrived, without a speed that no longer holds.
void MainWindow::showPaused()
{
    ui->statusLabel->setText(tr("Download paused"));
    const QString line = ui->downloadLabel->text();
    const int suffix = line.indexOf(QStringLiteral(" · "));
    if (suffix >= 0)
        ui->downloadLabel->setText(line.left(suffix));
}

void MainWindow::onDownloadProgress(int percent, qint64 downloaded, qint64 total)
{
    // Paused, the line keeps what had arrived: the stopped transfers take their bytes out of
    // the count until they continue from their parts.
    if (fileManager->downloadsPaused())
        return;
    ui->progressBar->setValue(percent);
    ui->downloadLabel->setText(
        tr("Downloaded: %1 MB / %2 MB")
            .arg(quantitytext::megabytes(downloaded, 2), quantitytext::megabytes(total, 2)) +
        rateSuffix(downloaded, total));
}

void MainWindow::onFileDownloadComplete(const QString &filename)
{
    if (repairing)
        ++repairedFiles;
    ui->currentFileLabel->setText(tr("Downloaded: %1").arg(filename));
    if (state == Downloading && filename == retryingFile) {
        retryingFile.clear();
        ui->statusLabel->setText(tr("Downloading updates..."));
    }
}

void MainWindow::onRetryScheduled(const QString &filename, int delayMs, int attempt, int attempts,
                                  const QString &error)
{
    if (state != Downloading)
        return;
    retryingFile = filename;
    ui->statusLabel->setText(tr("Retrying %1 in %L2 s (attempt %L3 of %L4): %5")
                                 .arg(filename)
                                 .arg((delayMs + 999) / 1000)
                                 .arg(attempt)
                                 .arg(attempts)
                                 .arg(error));
}

void MainWindow::onAllFilesReady()
{
    // The end of a download; after a check, verificationComplete has decided already (or waits
    // behind the Settings dialog).
    if (state != Downloading)
        return;
    log(Info, QStringLiteral("All files ready!"));
    finishRepair();
    state = Ready;
    updateUI();
    ui->currentFileLabel->clear();
    ui->downloadLabel->clear();
}

void MainWindow::onDownloadFailed(const QString &error)
{
    if (state != Downloading)
        return;
    finishRepair();
    // The bar and the byte count keep what arrived.
    const int arrived = ui->progressBar->value();
    showFilesFailure(error);
    ui->progressBar->setValue(arrived);
    ui->currentFileLabel->clear();
}

void MainWindow::showFilesFailure(const QString &status)
{
    state = UpdateFailed;
    updateUI();
    ui->statusLabel->setText(status);
}

void MainWindow::onFileError(const QString &error)
{
    log(Error, QStringLiteral("File error: %1").arg(error));
    ui->statusLabel->setText(tr("Error: %1").arg(error));
}

void MainWindow::onPlayButtonClicked()
{
    if (state == UpdateFailed) {
        log(Info, QStringLiteral("Retrying the game files"));
        startFilesFlow();
    } else if (state == UpdateDeclined) {
        log(Info, QStringLiteral("Update accepted after all"));
        state = Downloading;
        retryingFile.clear();
        updateUI();
        ui->playButton->setText(tr("PLAY"));
        fileManager->startDownload();
    } else if (state == Ready) {
        const LauncherConfig &config = LauncherConfig::instance();
        const GameProgram program = locateGameProgram(config.gameDirectory, config.gameExecutable);
        if (!program.problem.isEmpty()) {
            gameLauncher->refuseLaunch(program.problem);
            return;
        }
        if (!processGuard->checkBeforeLaunch()) {
            showBox(QMessageBox::Warning, tr("Veyrun"),
                    tr("Wykryto uruchomionego klienta Lineage 2 z innego serwera.\n\n"
                       "Regulamin serwera zabrania uruchamiania więcej niż jednego\n"
                       "klienta L2 jednocześnie. Zamknij go przed grą."),
                    QMessageBox::Ok);
            return;
        }
        log(Info, QStringLiteral("Play button clicked - launching game"));
        // The phase follows gameStarted or launchError. The program is checked as it is held
        // open for its start.
        gameLauncher->launchGame(gameExecutablePath(), [this, program](platform::InputFile &file) {
            return fileManager->gameProgramProblem(program.relativePath, file);
        });
    } else if (state == GameRunning) {
        const auto answer = showBox(QMessageBox::Question, tr("Stop Game"),
                                    tr("Are you sure you want to stop the game?"),
                                    QMessageBox::Yes | QMessageBox::No);
        // "Stop Game" stays until the game has really ended and gameClosed arrives.
        if (answer == QMessageBox::Yes)
            gameLauncher->terminateGame();
    }
}

void MainWindow::onGameStarted()
{
    log(Info, QStringLiteral("Game started successfully"));
    state = GameRunning;
    updateUI();
    fileManager->startIntegrityMonitor();
    processGuard->startMonitoring(gameLauncher->processId(), gameExecutableDirectory());
}

void MainWindow::onGameClosed(int exitCode)
{
    log(Info, QStringLiteral("Game closed with exit code: %1").arg(exitCode));
    fileManager->stopIntegrityMonitor();
    processGuard->stopMonitoring();
    authClient->notifyGameClosed();
    // After an alert or a logout the window has already moved on.
    if (state == GameRunning) {
        state = Ready;
        updateUI();
    }
}

void MainWindow::onLaunchError(const QString &error)
{
    showBox(QMessageBox::Critical, tr("Launch Error"), tr("Failed to start game:\n%1").arg(error),
            QMessageBox::Ok);
    // The session goes on: the player may fix the game and press PLAY again.
    state = Ready;
    updateUI();
}

// Alerts and base client

void MainWindow::onForeignClientDetected(const QString &description)
{
    log(Warn, QStringLiteral("[ProcessGuard] Foreign client detected: %1").arg(description));
    processGuard->stopMonitoring();
    gameLauncher->terminateGame();
    // The server ends a session whose heartbeat stops: the window ends it too, visibly.
    endSession(tr("Session ended: a game client of another server was running."));
    showBox(QMessageBox::Critical, tr("Veyrun — Naruszenie regulaminu"),
            tr("Wykryto uruchomionego klienta Lineage 2 z innego serwera.\n\n"
               "Regulamin serwera zabrania uruchamiania więcej niż jednego\n"
               "klienta L2 jednocześnie.\n\n"
               "Połączenie zostało przerwane."),
            QMessageBox::Ok);
}

void MainWindow::onIntegrityViolation(const QString &filePath)
{
    log(Error, QStringLiteral("Integrity violation detected: %1 — terminating game").arg(filePath));
    gameLauncher->terminateGame();
    // The next login verifies the file by its digest and offers to repair it.
    endSession(tr("Session ended: a modified game file was detected."));
    showBox(QMessageBox::Critical, tr("Security Alert"),
            tr("A modified game file was detected:\n\n%1\n\nThe game has been terminated.")
                .arg(filePath),
            QMessageBox::Ok);
}

void MainWindow::onBaseClientDownloadProgress(int percent, qint64 downloaded, qint64 total)
{
    ui->progressBar->setValue(percent);
    ui->downloadLabel->setText(
        tr("Downloading client: %1 MB / %2 MB")
            .arg(quantitytext::megabytes(downloaded, 0), quantitytext::megabytes(total, 0)) +
        (fileManager->downloadsPaused() ? QString() : rateSuffix(downloaded, total)));
}

void MainWindow::onBaseClientExtracting()
{
    state = ExtractingClient;
    updateUI();
    ui->downloadLabel->setText(tr("Extracting archive — this may take a few minutes..."));
}

void MainWindow::onBaseClientInstalled()
{
    log(Info, QStringLiteral("Base client installed, starting file verification"));
    ui->downloadLabel->clear();
    state = Verifying;
    updateUI();
    fileManager->verifyFiles();
}

void MainWindow::onBaseClientError(const QString &error)
{
    log(Error, QStringLiteral("Base client install error: %1").arg(error));
    showBox(QMessageBox::Critical, tr("Client installation error"),
            tr("Failed to install game client:\n\n%1\n\n"
               "Check your internet connection and try again.")
                .arg(error),
            QMessageBox::Ok);
    showFilesFailure(tr("Installation error"));
    // Neither the byte counts nor "Extracting archive" hold any longer.
    ui->downloadLabel->clear();
}

// Tray and window

bool MainWindow::trayReachable() const
{
    return trayIcon && trayIcon->isVisible() && systemTrayAvailable();
}

bool MainWindow::systemTrayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::showTrayMessage(const QString &text, int milliseconds)
{
    trayIcon->showMessage(tr("Veyrun"), text, QSystemTrayIcon::Information, milliseconds);
}

void MainWindow::restoreFromTray()
{
    show();
    raise();
    activateWindow();
    log(Info, QStringLiteral("Restored from tray"));
}

void MainWindow::onMinimizeButtonClicked()
{
    // Without a tray to come back from, a hidden window would be lost: it goes to the taskbar.
    if (!trayReachable()) {
        log(Info, QStringLiteral("Minimizing to taskbar (no system tray)"));
        showMinimized();
        return;
    }
    log(Info, QStringLiteral("Minimizing to tray"));
    hide();
    showTrayMessage(tr("Launcher minimized to tray"), 2000);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The application's quit closes its windows: the session has been ended by then.
    if (quitting) {
        event->accept();
        return;
    }
    // Without a tray to come back from, hiding would lose the window: a close request is a quit,
    // asked and ended as the "✕" button's. The event loop ends when the quit is done.
    if (!trayReachable()) {
        event->ignore();
        onTrayQuit();
        return;
    }
    log(Info, QStringLiteral("Close button clicked - minimizing to tray"));
    hide();
    event->ignore();
    showTrayMessage(tr("Launcher minimized to tray. Double-click tray icon to restore."), 3000);
}

void MainWindow::onTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    // The context menu opens by itself and leaves the window where it is.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        restoreFromTray();
}

void MainWindow::onTrayRestore()
{
    restoreFromTray();
}

void MainWindow::onTrayQuit()
{
    if (quitting)
        return;
    const bool downloading = state == Downloading || state == DownloadingClient;
    const QString question =
        state == GameRunning
            ? tr("The game is still running.\nAre you sure you want to close the launcher?")
        : downloading ? tr("The game files are still downloading.\nAre you sure you want to close "
                           "the launcher?")
                      : tr("Are you sure you want to close the launcher?");
    const auto answer = showBox(QMessageBox::Question, tr("Close Veyrun"), question,
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes || quitting)
        return;

    quitting = true;
    log(Info, QStringLiteral("Quitting application"));
    setEnabled(false);
    ui->statusLabel->show();
    ui->statusLabel->setText(tr("Closing session..."));
    authClient->flushLogs();
    authClient->stopHeartbeat();
    Logger::instance().setLogListener({});

    // The server gets up to 3 s to confirm the end of the session; a running game stays running.
    QEventLoop wait;
    QTimer::singleShot(3000, Qt::CoarseTimer, &wait, &QEventLoop::quit);
    connect(authClient, &AuthClient::deregisterFinished, &wait, &QEventLoop::quit);
    authClient->deregisterSession();
    wait.exec();

    trayIcon->setVisible(false);
    QCoreApplication::quit();
}

void MainWindow::onSettingsButtonClicked()
{
    const QList<FileEntry> &files = fileManager->currentManifest().files;
    const bool filesBusy =
        state == Downloading || state == DownloadingClient || state == ExtractingClient;
    // A scan beside a running check or download would race it for the same files.
    const bool checking =
        state == Initializing || (state == Verifying && fileManager->isVerifying());
    QString scanBlocked;
    if (state == Login)
        scanBlocked = tr("Log in to scan the game files.");
    else if (state == GameRunning)
        scanBlocked = tr("Close the game to scan its files.");
    else if (filesBusy)
        scanBlocked = tr("Available when the download has finished.");
    else if (checking)
        scanBlocked = tr("Available when the check of the game files has finished.");
    else if (files.isEmpty())
        scanBlocked = tr("Available once the list of game files has been loaded.");

    SettingsDialog dialog(this);
    connect(&dialog, &SettingsDialog::speedLimitChanged, fileManager, &FileManager::setSpeedLimit);
    dialog.setScanFiles(files, scanBlocked);
    dialog.setFolderChangeBlocked(state == GameRunning ? tr("Close the game to change its folder.")
                                  : filesBusy ? tr("Available when the download has finished.")
                                              : QString());
    settingsOpen = true;
    dialog.exec();
    settingsOpen = false;
    afterSettings(dialog);
}

void MainWindow::afterSettings(const SettingsDialog &dialog)
{
    const std::function<void()> pending = std::move(heldBack);
    heldBack = nullptr;
    if (!dialog.filesToRepair().isEmpty()) {
        // The scan ran only where no other files work did: nothing was held back.
        startRepair(dialog);
        return;
    }
    if (!dialog.gameFolderChanged() || state == Initializing) {
        // A manifest held back is checked against the folder in use now.
        if (pending)
            pending();
        return;
    }
    // The files the player may start now are those of the new folder: check them first. A result
    // held back was about the old folder. An empty new folder gets the whole-client offer again.
    baseClientTried = false;
    if (state != Ready && state != Verifying && state != UpdateFailed && state != UpdateDeclined)
        return;
    if (fileManager->currentManifest().files.isEmpty()) {
        startFilesFlow();
        return;
    }
    state = Verifying;
    updateUI();
    ui->downloadLabel->clear();
    fileManager->verifyFiles();
}

void MainWindow::finishRepair()
{
    if (!repairing)
        return;
    repairing = false;
    log(Info, QStringLiteral("Scan complete: %1 files checked, %2 repaired")
                  .arg(repairChecked)
                  .arg(repairedFiles));
}

void MainWindow::startRepair(const SettingsDialog &dialog)
{
    if (!askForUpdate(dialog.missingFiles(), dialog.corruptedFiles(), dialog.filesToRepair(),
                      true)) {
        log(Info, QStringLiteral("Scan complete: %1 files checked, 0 repaired")
                      .arg(dialog.scannedFiles()));
        return;
    }
    repairing = true;
    repairChecked = dialog.scannedFiles();
    repairedFiles = 0;
    state = Downloading;
    retryingFile.clear();
    updateUI();
    fileManager->setDownloadQueue(dialog.filesToRepair());
    fileManager->startDownload();
}

void MainWindow::onDiscordButtonClicked()
{
    log(Info, QStringLiteral("Discord button clicked - opening invite link"));
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(deployment::discordUrl), QUrl::TolerantMode));
}
