#include "ui/settingsdialog.h"

#include "core/launcherconfig.h"
#include "core/logger.h"
#include "files/filescanner.h"
#include "ui/quantitytext.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QLabel *makeLabel(const QString &text, const char *name, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    return label;
}

QString scanDescription()
{
    return SettingsDialog::tr("Checks the content of every game file and downloads the ones "
                              "that are missing or damaged.");
}

} // namespace

SettingsDialog::SettingsDialog(QWidget *parent, const UserSettings &userSettings)
    : QDialog(parent), settings(userSettings), scanner(new FileScanner(this))
{
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(tr("Settings"));
    setModal(true);
    setMinimumWidth(480);

    LauncherConfig &config = LauncherConfig::instance();

    gameFolderEdit =
        new QLineEdit(QDir::toNativeSeparators(QDir(config.gameDirectory).absolutePath()), this);
    gameFolderEdit->setObjectName(QStringLiteral("gameFolderEdit"));
    gameFolderEdit->setReadOnly(true);
    browseButton = new QPushButton(tr("&Browse..."), this);
    browseButton->setObjectName(QStringLiteral("browseButton"));
    gameFolderNote = makeLabel(QString(), "noteLabel", this);
    gameFolderNote->hide();

    parallelDownloadsSpin = new QSpinBox(this);
    parallelDownloadsSpin->setObjectName(QStringLiteral("parallelDownloadsSpin"));
    parallelDownloadsSpin->setRange(UserSettings::minDownloads, UserSettings::maxDownloads);
    const int chosen = settings.parallelDownloads();
    parallelDownloadsSpin->setValue(chosen > 0 ? chosen : config.maxDownloadThreads);
    parallelDownloadsNote = makeLabel(QString(), "noteLabel", this);
    if (config.maxDownloadThreadsFromServer) {
        parallelDownloadsSpin->setValue(std::clamp(
            config.maxDownloadThreads, UserSettings::minDownloads, UserSettings::maxDownloads));
        parallelDownloadsSpin->setEnabled(false);
        parallelDownloadsNote->setText(
            tr("Set by the server: %L1 at a time.").arg(config.maxDownloadThreads));
    } else {
        parallelDownloadsNote->hide();
    }

    // In MB/s, the unit of the speed on the progress line.
    speedLimitSpin = new QDoubleSpinBox(this);
    speedLimitSpin->setObjectName(QStringLiteral("speedLimitSpin"));
    speedLimitSpin->setDecimals(2);
    speedLimitSpin->setRange(0, quantitytext::speedLimitShown(UserSettings::maxSpeedLimit));
    speedLimitSpin->setSingleStep(0.25);
    speedLimitSpin->setSuffix(tr(" MB/s"));
    speedLimitSpin->setSpecialValueText(tr("No limit"));
    // Typed digits count once the number is complete, not at every key.
    speedLimitSpin->setKeyboardTracking(false);
    speedLimitSpin->setValue(quantitytext::speedLimitShown(settings.speedLimit()));

    languageCombo = new QComboBox(this);
    languageCombo->setObjectName(QStringLiteral("languageCombo"));
    // Each language by its own name, so a player who cannot read the current one finds theirs.
    languageCombo->addItem(tr("System"), QStringLiteral("system"));
    languageCombo->addItem(QStringLiteral("English"), QStringLiteral("en"));
    languageCombo->addItem(QStringLiteral("Polski"), QStringLiteral("pl"));
    languageCombo->setCurrentIndex(languageCombo->findData(settings.language()));
    languageNote = makeLabel(tr("The language changes at the next start."), "noteLabel", this);
    languageNote->setObjectName(QStringLiteral("languageNote"));
    languageNote->hide();

    scanButton = new QPushButton(tr("&Scan and repair game files"), this);
    scanButton->setObjectName(QStringLiteral("scanButton"));
    cancelScanButton = new QPushButton(tr("&Cancel scan"), this);
    cancelScanButton->setObjectName(QStringLiteral("cancelScanButton"));
    cancelScanButton->hide();
    scanProgressBar = new QProgressBar(this);
    scanProgressBar->setObjectName(QStringLiteral("scanProgressBar"));
    scanProgressBar->setRange(0, 1000);
    scanProgressBar->hide();
    scanStatusLabel = makeLabel(scanDescription(), "noteLabel", this);
    scanStatusLabel->setObjectName(QStringLiteral("scanStatusLabel"));

    openLogsButton = new QPushButton(tr("&Open log folder"), this);
    openLogsButton->setObjectName(QStringLiteral("openLogsButton"));
    versionLabel = makeLabel(tr("Wardgate version %1").arg(QCoreApplication::applicationVersion()),
                             "noteLabel", this);
    versionLabel->setObjectName(QStringLiteral("versionLabel"));
    logsNote = makeLabel(QString(), "noteLabel", this);
    logsNote->hide();
    closeButton = new QPushButton(tr("Close"), this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->addWidget(makeLabel(tr("Game folder"), "sectionLabel", this));
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(gameFolderEdit, 1);
    folderRow->addWidget(browseButton);
    layout->addLayout(folderRow);
    layout->addWidget(gameFolderNote);

    layout->addWidget(makeLabel(tr("Downloads"), "sectionLabel", this));
    auto *downloadsRow = new QHBoxLayout;
    auto *downloadsLabel = makeLabel(tr("&Parallel downloads:"), "", this);
    downloadsLabel->setBuddy(parallelDownloadsSpin);
    downloadsRow->addWidget(downloadsLabel);
    downloadsRow->addWidget(parallelDownloadsSpin);
    downloadsRow->addStretch(1);
    layout->addLayout(downloadsRow);
    layout->addWidget(parallelDownloadsNote);
    auto *speedLimitRow = new QHBoxLayout;
    auto *speedLimitLabel = makeLabel(tr("Download speed &limit:"), "", this);
    // One line beside its box, in either language.
    speedLimitLabel->setWordWrap(false);
    speedLimitLabel->setBuddy(speedLimitSpin);
    speedLimitRow->addWidget(speedLimitLabel);
    speedLimitRow->addWidget(speedLimitSpin);
    speedLimitRow->addStretch(1);
    layout->addLayout(speedLimitRow);

    layout->addWidget(makeLabel(tr("Interface"), "sectionLabel", this));
    auto *languageRow = new QHBoxLayout;
    auto *languageLabel = makeLabel(tr("L&anguage:"), "", this);
    languageLabel->setBuddy(languageCombo);
    languageRow->addWidget(languageLabel);
    languageRow->addWidget(languageCombo);
    languageRow->addStretch(1);
    layout->addLayout(languageRow);
    layout->addWidget(languageNote);

    layout->addWidget(makeLabel(tr("Game files"), "sectionLabel", this));
    auto *scanRow = new QHBoxLayout;
    scanRow->addWidget(scanButton);
    scanRow->addWidget(cancelScanButton);
    scanRow->addStretch(1);
    layout->addLayout(scanRow);
    layout->addWidget(scanProgressBar);
    layout->addWidget(scanStatusLabel);

    layout->addSpacing(8);
    auto *bottomRow = new QHBoxLayout;
    bottomRow->addWidget(openLogsButton);
    bottomRow->addWidget(versionLabel, 1);
    bottomRow->addWidget(closeButton);
    layout->addLayout(bottomRow);
    layout->addWidget(logsNote);

    setTabOrder(browseButton, parallelDownloadsSpin);
    setTabOrder(parallelDownloadsSpin, speedLimitSpin);
    setTabOrder(speedLimitSpin, languageCombo);
    setTabOrder(languageCombo, scanButton);
    setTabOrder(scanButton, cancelScanButton);
    setTabOrder(cancelScanButton, openLogsButton);
    setTabOrder(openLogsButton, closeButton);
    setTabOrder(closeButton, gameFolderEdit);
    browseButton->setFocus();

    connect(browseButton, &QPushButton::clicked, this, &SettingsDialog::onBrowseClicked);
    connect(parallelDownloadsSpin, qOverload<int>(&QSpinBox::valueChanged), this,
            &SettingsDialog::onDownloadsChanged);
    connect(speedLimitSpin, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            &SettingsDialog::onSpeedLimitChanged);
    connect(languageCombo, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::onLanguageChanged);
    connect(scanButton, &QPushButton::clicked, this, &SettingsDialog::onScanClicked);
    connect(cancelScanButton, &QPushButton::clicked, scanner, &FileScanner::cancel);
    connect(openLogsButton, &QPushButton::clicked, this, &SettingsDialog::onOpenLogsClicked);
    connect(closeButton, &QPushButton::clicked, this, &SettingsDialog::reject);
    connect(scanner, &FileScanner::progress, this, &SettingsDialog::onScanProgress);
    connect(scanner, &FileScanner::finished, this, &SettingsDialog::onScanFinished);
    connect(scanner, &FileScanner::cancelled, this, &SettingsDialog::onScanCancelled);
}

void SettingsDialog::setFolderChangeBlocked(const QString &reason)
{
    folderBlocked = reason;
    browseButton->setEnabled(reason.isEmpty() && !scanner->isRunning());
    gameFolderNote->setText(reason);
    gameFolderNote->setVisible(!reason.isEmpty());
}

void SettingsDialog::setScanFiles(const QList<FileEntry> &files, const QString &unavailableReason)
{
    scanFiles = files;
    scanUnavailable = unavailableReason;
    scanButton->setEnabled(unavailableReason.isEmpty());
    if (!unavailableReason.isEmpty())
        scanStatusLabel->setText(unavailableReason);
}

void SettingsDialog::chooseGameFolder(const QString &folder)
{
    const QString absolute = QDir::cleanPath(QDir(folder).absolutePath());
    if (!QFileInfo(absolute).isDir()) {
        gameFolderNote->setText(tr("%1 is not a folder.").arg(QDir::toNativeSeparators(absolute)));
        gameFolderNote->show();
        return;
    }
    LauncherConfig &config = LauncherConfig::instance();
    if (QDir::cleanPath(QDir(config.gameDirectory).absolutePath()) == absolute)
        return;
    if (!settings.setGameDirectory(absolute)) {
        gameFolderNote->setText(tr("The choice could not be saved."));
        gameFolderNote->show();
        return;
    }
    config.gameDirectory = absolute;
    config.gameDirectoryUnnamed = false;
    folderChanged = true;
    gameFolderEdit->setText(QDir::toNativeSeparators(absolute));
    gameFolderNote->hide();
    // What a scan said was about the old folder.
    checked = missing = corrupted = 0;
    scanStatusLabel->setText(scanUnavailable.isEmpty() ? scanDescription() : scanUnavailable);
    Logger::instance().log(Info,
                           QStringLiteral("Game folder: %1 (chosen in Settings)").arg(absolute));
}

void SettingsDialog::onBrowseClicked()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Choose the game folder"), LauncherConfig::instance().gameDirectory);
    if (!folder.isEmpty())
        chooseGameFolder(folder);
}

void SettingsDialog::onDownloadsChanged(int count)
{
    LauncherConfig &config = LauncherConfig::instance();
    if (config.maxDownloadThreadsFromServer || !settings.setParallelDownloads(count))
        return;
    config.maxDownloadThreads = count;
    Logger::instance().log(Info, QStringLiteral("Parallel downloads: %1").arg(count));
}

// Every step of the spin box takes effect at once, even mid-download.
void SettingsDialog::onSpeedLimitChanged(double megabytesPerSecond)
{
    const int kibPerSecond = quantitytext::speedLimitStored(megabytesPerSecond);
    if (!settings.setSpeedLimit(kibPerSecond))
        return;
    Logger::instance().log(
        Info, kibPerSecond > 0 ? QStringLiteral("Download speed limit: %1 KiB/s").arg(kibPerSecond)
                               : QStringLiteral("Download speed limit: none"));
    emit speedLimitChanged(qint64(kibPerSecond) * 1024);
}

void SettingsDialog::setScanning(bool scanning)
{
    scanButton->setEnabled(!scanning && scanUnavailable.isEmpty());
    browseButton->setEnabled(!scanning && folderBlocked.isEmpty());
    cancelScanButton->setVisible(scanning);
    scanProgressBar->setVisible(scanning);
    if (scanning)
        cancelScanButton->setFocus();
    else
        scanButton->setFocus();
}

void SettingsDialog::onLanguageChanged(int index)
{
    const QString language = languageCombo->itemData(index).toString();
    if (!settings.setLanguage(language)) {
        languageNote->setText(tr("The choice could not be saved."));
    } else {
        Logger::instance().log(
            Info, QStringLiteral("Interface language: %1 (from the next start)").arg(language));
        languageNote->setText(tr("The language changes at the next start."));
    }
    languageNote->show();
}

void SettingsDialog::onScanClicked()
{
    if (!scanUnavailable.isEmpty() || scanner->isRunning())
        return;
    scanProgressBar->setValue(0);
    scanProgressBar->setFormat(tr("Starting..."));
    scanStatusLabel->setText(tr("Scanning %Ln files...", nullptr, int(scanFiles.size())));
    setScanning(true);
    scanner->start(scanFiles, LauncherConfig::instance().gameDirectory);
}

void SettingsDialog::onScanProgress(qint64 done, qint64 total)
{
    scanProgressBar->setValue(total > 0 ? int(done * 1000 / total) : 0);
    scanProgressBar->setFormat(quantitytext::doneOfTotal(done, total));
}

void SettingsDialog::onScanFinished(const QList<FileEntry> &toRepair, int checkedFiles,
                                    int missingFiles, int corruptedFiles)
{
    setScanning(false);
    checked = checkedFiles;
    missing = missingFiles;
    corrupted = corruptedFiles;
    repairs = toRepair;
    if (repairs.isEmpty()) {
        scanStatusLabel->setText(tr("All %Ln files are in order.", nullptr, checkedFiles));
        Logger::instance().log(
            Info, QStringLiteral("Scan complete: %1 files checked, 0 repaired").arg(checkedFiles));
        return;
    }
    accept();
}

void SettingsDialog::onScanCancelled()
{
    setScanning(false);
    scanStatusLabel->setText(tr("Scan cancelled. No file was changed."));
}

void SettingsDialog::onOpenLogsClicked()
{
    const QString folder = QFileInfo(Logger::defaultFilePath()).absolutePath();
    Logger::instance().log(Info, QStringLiteral("Opening log folder %1").arg(folder));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        Logger::instance().log(Warn, QStringLiteral("Cannot open the log folder %1").arg(folder));
        logsNote->setText(
            tr("The log folder could not be opened: %1").arg(QDir::toNativeSeparators(folder)));
        logsNote->show();
    }
}

void SettingsDialog::reject()
{
    if (scanner->isRunning()) {
        scanner->cancel();
        return;
    }
    QDialog::reject();
}
