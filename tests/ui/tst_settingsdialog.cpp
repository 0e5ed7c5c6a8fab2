#include "core/launcherconfig.h"
#include "core/logger.h"
#include "core/usersettings.h"
#include "files/manifest.h"
#include "support/testsupport.h"
#include "ui/settingsdialog.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class SettingsDialogTest : public QObject
{
    Q_OBJECT

public slots:
    void openedUrl(const QUrl &url) { opened.append(url); }

private slots:
    void initTestCase();
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("file"); }
    void choicesSurviveRestartAndIniStaysUntouched_data();
    void choicesSurviveRestartAndIniStaysUntouched();
    void cancelledScanChangesNothing();
    void scanVerdictGoesWithItsFolder();

private:
    QTemporaryDir temp;
    QList<QUrl> opened;
};

// Every file below `root` with its size, time and first bytes.
static QStringList snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QFile file(info.filePath());
        file.open(QIODevice::ReadOnly);
        lines.append(QString("%1 %2 %3 %4")
                         .arg(info.filePath())
                         .arg(info.size())
                         .arg(info.lastModified().toMSecsSinceEpoch())
                         .arg(QString::fromLatin1(file.read(16).toHex())));
    }
    lines.sort();
    return lines;
}

void SettingsDialogTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationVersion("9.8.7");
    qputenv("HOME", QFile::encodeName(temp.filePath("home")));
    QDesktopServices::setUrlHandler("file", this, "openedUrl");
}

void SettingsDialogTest::choicesSurviveRestartAndIniStaysUntouched_data()
{
    QTest::addColumn<bool>("serverSetsDownloads");
    QTest::newRow("downloads chosen by the player") << false;
    QTest::newRow("downloads set by the server") << true;
}

void SettingsDialogTest::choicesSurviveRestartAndIniStaysUntouched()
{
    QFETCH(bool, serverSetsDownloads);
    QTemporaryDir dir;
    const QString ini = dir.filePath("config/launcher.ini");
    QVERIFY(
        testsupport::writeFile(ini, "[Game]\nGameDir=" + dir.filePath("ini-game").toUtf8() + "\n"));
    const QByteArray iniBefore = testsupport::readLines(ini).join('\n').toUtf8();
    const QString chosen = dir.filePath("chosen game");
    QVERIFY(QDir().mkpath(chosen));
    const UserSettings settings(dir.filePath("user/settings.ini"));

    LauncherConfig &config = LauncherConfig::instance();
    config = LauncherConfig();
    config.load(ini);
    if (serverSetsDownloads)
        config.applyRemoteConfig(QJsonObject{{"max_download_threads", 2}});
    {
        SettingsDialog dialog(nullptr, settings);
        auto *downloads = dialog.findChild<QSpinBox *>("parallelDownloadsSpin");
        QCOMPARE(downloads->isEnabled(), !serverSetsDownloads);
        QVERIFY(dialog.findChild<QLabel *>("versionLabel")->text().contains("9.8.7"));
        dialog.chooseGameFolder(dir.filePath("no such folder"));
        QCOMPARE(config.gameDirectory, dir.filePath("ini-game"));
        dialog.chooseGameFolder(chosen);
        QCOMPARE(config.gameDirectory, chosen);
        QVERIFY(dialog.gameFolderChanged());
        if (!serverSetsDownloads) {
            downloads->setFocus();
            QTest::keyClick(downloads, Qt::Key_Up);
            QTest::keyClick(downloads, Qt::Key_Up);
            QCOMPARE(config.maxDownloadThreads, 6);
        }
        // The speed limit, in the MB/s of the progress line, counts once the number is typed in,
        // and says so at once.
        auto *limit = dialog.findChild<QDoubleSpinBox *>("speedLimitSpin");
        QCOMPARE(limit->value(), 0.0);
        QSignalSpy limitChanged(&dialog, &SettingsDialog::speedLimitChanged);
        limit->setFocus();
        limit->selectAll();
        QTest::keyClicks(limit, "4");
        QVERIFY(limitChanged.isEmpty());
        QTest::keyClick(limit, Qt::Key_Return);
        QCOMPARE(limitChanged.size(), 1);
        QCOMPARE(limitChanged.at(0).at(0).toLongLong(), qint64(4) * 1024 * 1024);
        QTest::mouseClick(dialog.findChild<QPushButton *>("openLogsButton"), Qt::LeftButton);
        QCOMPARE(opened.last(), QUrl::fromLocalFile(QFileInfo(Logger::defaultFilePath()).path()));
    }

    // A restart: the ini first, then the player's choices; the server's number still wins.
    config = LauncherConfig();
    config.load(ini);
    settings.applyTo(config);
    if (serverSetsDownloads)
        config.applyRemoteConfig(QJsonObject{{"max_download_threads", 2}});
    QCOMPARE(config.gameDirectory, chosen);
    QCOMPARE(config.maxDownloadThreads, serverSetsDownloads ? 2 : 6);
    QCOMPARE(testsupport::readLines(ini).join('\n').toUtf8(), iniBefore);
    QVERIFY(testsupport::readLines(dir.filePath("user/settings.ini")).contains("SpeedLimit=4096"));
    QCOMPARE(
        SettingsDialog(nullptr, settings).findChild<QDoubleSpinBox *>("speedLimitSpin")->value(),
        4.0);
    // A hand-edited limit that makes no sense is no limit rather than a download that never moves.
    QVERIFY(
        testsupport::writeFile(dir.filePath("user/settings.ini"), "[Downloads]\nSpeedLimit=-5\n"));
    QCOMPARE(settings.speedLimit(), 0);
}

void SettingsDialogTest::cancelledScanChangesNothing()
{
    QTemporaryDir game;
    QList<FileEntry> files;
    // Large sparse files, so the scan is still reading when it is cancelled.
    for (const QString name : {"maps/a.unr", "maps/b.unr"}) {
        QVERIFY(QDir().mkpath(QFileInfo(game.filePath(name)).path()));
        QFile file(game.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(2) << 30));
        files.append({name, file.size(), QString(64, 'a'), "http://127.0.0.1:1/" + name, 0});
    }
    files.append({"system/missing.dll", 10, QString(64, 'b'), "http://127.0.0.1:1/m", 0});
    LauncherConfig::instance().gameDirectory = game.path();
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QStringList gameBefore = snapshot(game.path());
    const QStringList dataBefore = snapshot(data);

    SettingsDialog dialog;
    dialog.setScanFiles(files, QString());
    dialog.show();
    auto *progress = dialog.findChild<QProgressBar *>("scanProgressBar");
    auto *cancel = dialog.findChild<QPushButton *>("cancelScanButton");
    QTest::mouseClick(dialog.findChild<QPushButton *>("scanButton"), Qt::LeftButton);
    QVERIFY(cancel->isVisible());
    QTRY_VERIFY(progress->value() > 0);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!cancel->isVisible(), 1000);
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.filesToRepair().isEmpty());
    QCOMPARE(snapshot(game.path()), gameBefore);
    QCOMPARE(snapshot(data), dataBefore);
}

void SettingsDialogTest::scanVerdictGoesWithItsFolder()
{
    QTemporaryDir game;
    QTemporaryDir other;
    const QByteArray content = "[Veyrun]\n";
    QVERIFY(testsupport::writeFile(game.filePath("system/l2.ini"), content));
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    LauncherConfig::instance().gameDirectory = game.path();

    SettingsDialog dialog;
    dialog.setScanFiles({{"system/l2.ini", content.size(), digest, "http://127.0.0.1:1/a", 0}},
                        QString());
    auto *status = dialog.findChild<QLabel *>("scanStatusLabel");
    const QString description = status->text();
    QTest::mouseClick(dialog.findChild<QPushButton *>("scanButton"), Qt::LeftButton);
    QTRY_COMPARE(status->text(), QString("All 1 files are in order."));

    // Nothing said of the old folder stays once another is in use.
    dialog.chooseGameFolder(other.path());
    QCOMPARE(status->text(), description);
}

QTEST_MAIN(SettingsDialogTest)
#include "tst_settingsdialog.moc"
