#pragma once

#include "net/transferrate.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QPoint>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class AuthClient;
class CredentialStore;
class FileManager;
struct FileEntry;
class GameLauncher;
class ProcessGuard;
class QMenu;
class QTimer;
class SettingsDialog;

namespace Ui {
class MainWindow;
}

// The launcher's one window: frameless, fixed in size, painting its own rounded background. It
// owns the four services, is their only caller, and walks the player from the login through the
// game files to the running game.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The window's phases, in the order the flows pass through them; the one where a files flow
    // that could not finish waits for the player's Retry; and the one where a declined update
    // waits for the player's Update.
    enum LauncherState
    {
        Login,
        Initializing,
        DownloadingClient,
        ExtractingClient,
        Verifying,
        Downloading,
        Ready,
        GameRunning,
        UpdateFailed,
        UpdateDeclined
    };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void onManifestDownloaded(bool success, const QString &message);
    void onVerificationProgress(qint64 checked, qint64 total);
    void onVerificationComplete(int missingFiles, int corruptedFiles);
    void onDownloadProgress(int percent, qint64 downloaded, qint64 total);
    void onFileDownloadComplete(const QString &filename);
    void onAllFilesReady();
    void onDownloadFailed(const QString &error);
    void onFileError(const QString &error);
    void onRetryScheduled(const QString &filename, int delayMs, int attempt, int attempts,
                          const QString &error);
    void onSessionRegistered(bool success, const QString &message);
    void onHandOverTimeout();
    void onAuthError(const QString &error);
    void onGameStarted();
    void onGameClosed(int exitCode);
    void onLaunchError(const QString &error);
    void onForeignClientDetected(const QString &description);
    void onServerStatusChanged(bool online);
    void onIntegrityViolation(const QString &filePath);
    void onBaseClientDownloadProgress(int percent, qint64 downloaded, qint64 total);
    void onBaseClientExtracting();
    void onBaseClientInstalled();
    void onBaseClientError(const QString &error);
    void onLoginButtonClicked();
    void onRetryButtonClicked();
    void onLogoutButtonClicked();
    void onPlayButtonClicked();
    void onPauseButtonClicked();
    void onSettingsButtonClicked();
    void onMinimizeButtonClicked();
    void onDiscordButtonClicked();
    void onTrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void onTrayRestore();
    void onTrayQuit();
    void onRememberMeToggled(bool on);
    void onPasswordFound(const QString &account, const QString &password);
    void onCredentialStoreUnavailable();

private:
    // The window's tests drive the flows and look at the services.
    friend class MainWindowTest;
    friend class MainWindowFlowTest;
    friend class InterfaceLanguageTest;
    friend class SignedFlowTest;

    void createTrayIcon();
    // Tab order, focus on every button, names for the controls that show only a sign.
    void makeKeyboardFriendly();
    void connectServices();
    // Shows, hides, enables and labels the widgets for the current phase.
    void updateUI();
    QString currentAccountName() const;
    // " · 8.4 MB/s · about 3 min left" for the download on show, or nothing yet.
    QString rateSuffix(qint64 downloaded, qint64 total);
    void showPaused();
    // Virtual so that a test window can paint a missing or oddly shaped image.
    virtual QString backgroundImagePath() const;
    // A tray the player can reach: the icon is shown and the desktop has a tray to show it in.
    bool trayReachable() const;
    // Virtual so that a test window can have a tray where the test platform has none.
    virtual bool systemTrayAvailable() const;
    void showTrayMessage(const QString &text, int milliseconds);
    void restoreFromTray();
    void disableLoginForm();
    QString gameExecutablePath() const;
    QString gameExecutableDirectory() const;
    enum class InstallAnswer
    {
        Install,
        Decline,
        ChooseFolder
    };
    // Asks before a download of the whole client; `size` in bytes, 0 when unknown. Names the
    // folder as an absolute path, says when it holds other files, and offers another folder.
    InstallAnswer askForBaseClient(qint64 size);
    // The player's own folder for the game, asked for before anything is written; false when
    // the player cancels or the choice cannot be kept.
    bool chooseInstallFolder();
    void startBaseClientInstall();
    // A modal box over the window that leaves its status line readable.
    QMessageBox::StandardButton
    showBox(QMessageBox::Icon icon, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    // "Update Required": the counts, the download size and the list of files; true on Yes. After
    // the player's full scan the files are damaged, otherwise out of date.
    bool askForUpdate(int missingFiles, int differentFiles, const QList<FileEntry> &files,
                      bool repair = false);
    // The files flow's result from behind the Settings dialog, once it has closed.
    void afterSettings(const SettingsDialog &dialog);
    // Asks the update question for what a full scan found and downloads it.
    void startRepair(const SettingsDialog &dialog);
    // Logs the summary of a repair batch once it has ended, in success or failure.
    void finishRepair();
    // From the manifest on: after login, and again from Retry.
    void startFilesFlow();
    void showFilesFailure(const QString &status);
    // Ends the session with the server and returns to the login panel; `reason` is shown there.
    void endSession(const QString &reason);
    // The remembered account name in the login panel, and its password once the store answers.
    void restoreRememberedLogin();
    // After a successful login: the name and the password kept for the next start, when asked.
    void rememberLogin();

    std::unique_ptr<Ui::MainWindow> ui;
    FileManager *fileManager;
    AuthClient *authClient;
    GameLauncher *gameLauncher;
    ProcessGuard *processGuard;
    CredentialStore *credentials;
    LauncherState state = Login;
    // The speed and time left of the download on show, and the phase it belongs to.
    TransferRate downloadRate;
    QElapsedTimer rateClock;
    LauncherState rateFor = Login;
    QPoint dragPosition;
    bool dragging = false;
    QTimer *handOverTimer = nullptr;
    // What the last login attempt sent, until it succeeds: "Remember me" keeps exactly that.
    QString attemptedLogin;
    QString attemptedPassword;
    // The quit has been agreed to: a further close request asks nothing more.
    bool quitting = false;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    // The base client is offered once per login: if the archive does not bring the files, the
    // ordinary update question follows instead of a second install.
    bool baseClientTried = false;
    // A download batch that repairs what the player's full scan found: its summary is logged
    // when the batch ends.
    bool repairing = false;
    // The Settings dialog is open: the files flow waits behind it, and what it brings meanwhile
    // (a manifest, a verification result) is held back until the dialog has closed.
    bool settingsOpen = false;
    std::function<void()> heldBack;
    // The file whose retry the status line announces.
    QString retryingFile;
    int repairChecked = 0;
    int repairedFiles = 0;
};
