#pragma once

#include "core/usersettings.h"
#include "files/manifest.h"

#include <QDialog>

class FileScanner;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

// The Settings dialog: the game folder, the number of parallel downloads, the download speed
// limit, the interface's language, the full scan of the game files, the log folder and the
// launcher's version. Choices are stored per user and take effect at once. A scan that finds files
// to repair closes the dialog and leaves them to the window, which asks and downloads as after any
// verification.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr,
                            const UserSettings &settings = UserSettings());

    // Why the game folder cannot change now; empty when it can.
    void setFolderChangeBlocked(const QString &reason);
    // The files a scan checks, and why no scan can run now (empty when one can).
    void setScanFiles(const QList<FileEntry> &files, const QString &unavailableReason);

    // Takes `folder` as the game folder: stored and in use at once. What the folder picker does.
    void chooseGameFolder(const QString &folder);

    bool gameFolderChanged() const { return folderChanged; }
    // Set when a finished scan found files to repair; the dialog is then accepted.
    const QList<FileEntry> &filesToRepair() const { return repairs; }
    int scannedFiles() const { return checked; }
    int missingFiles() const { return missing; }
    int corruptedFiles() const { return corrupted; }

signals:
    // The player chose another download speed limit (bytes per second, 0: none); stored already.
    void speedLimitChanged(qint64 bytesPerSecond);

public slots:
    // Escape and the window's close cancel a running scan first.
    void reject() override;

private slots:
    void onBrowseClicked();
    void onDownloadsChanged(int count);
    void onSpeedLimitChanged(double megabytesPerSecond);
    void onLanguageChanged(int index);
    void onScanClicked();
    void onScanProgress(qint64 done, qint64 total);
    void onScanFinished(const QList<FileEntry> &toRepair, int checkedFiles, int missingFiles,
                        int corruptedFiles);
    void onScanCancelled();
    void onOpenLogsClicked();

private:
    void setScanning(bool scanning);

    UserSettings settings;
    FileScanner *scanner;
    QList<FileEntry> scanFiles;
    QString scanUnavailable;
    QString folderBlocked;
    bool folderChanged = false;
    QList<FileEntry> repairs;
    int checked = 0;
    int missing = 0;
    int corrupted = 0;

    QLineEdit *gameFolderEdit;
    QPushButton *browseButton;
    QLabel *gameFolderNote;
    QSpinBox *parallelDownloadsSpin;
    QLabel *parallelDownloadsNote;
    QDoubleSpinBox *speedLimitSpin;
    QComboBox *languageCombo;
    QLabel *languageNote;
    QPushButton *scanButton;
    QPushButton *cancelScanButton;
    QProgressBar *scanProgressBar;
    QLabel *scanStatusLabel;
    QPushButton *openLogsButton;
    QLabel *versionLabel;
    QLabel *logsNote;
    QPushButton *closeButton;
};
