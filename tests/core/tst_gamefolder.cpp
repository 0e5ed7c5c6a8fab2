#include "core/gamefolder.h"
#include "core/launcherconfig.h"
#include "core/usersettings.h"
#include "support/testsupport.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// Which game folder a launcher uses when it starts: the ini's, the player's choice in Settings,
// the working folder when it holds the game, or else a folder of the user's own, never home.
class GameFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void chosenFolder_data();
    void chosenFolder();
};

void GameFolderTest::chosenFolder_data()
{
    QTest::addColumn<bool>("iniNamesOne");
    QTest::addColumn<bool>("settingsNameOne");
    QTest::addColumn<bool>("gameInWorkingFolder");
    // "ini", "settings", "working" or "per-user".
    QTest::addColumn<QString>("expected");

    QTest::newRow("ini names one") << true << false << true << "ini";
    QTest::newRow("Settings names one") << true << true << false << "settings";
    QTest::newRow("neither, the game in the working folder") << false << false << true << "working";
    QTest::newRow("neither, no game in the working folder")
        << false << false << false << "per-user";
}

void GameFolderTest::chosenFolder()
{
    QFETCH(bool, iniNamesOne);
    QFETCH(bool, settingsNameOne);
    QFETCH(bool, gameInWorkingFolder);
    QFETCH(QString, expected);

    QTemporaryDir temp;
    const QString working = temp.filePath("home");
    const QString iniFolder = temp.filePath("from-ini");
    const QString settingsFolder = temp.filePath("from-settings");
    QVERIFY(QDir().mkpath(working));
    if (gameInWorkingFolder)
        QVERIFY(testsupport::writeFile(working + "/system/l2.exe", "game"));
    const QString ini = temp.filePath("config/launcher.ini");
    QVERIFY(testsupport::writeFile(ini, iniNamesOne ? "[Game]\nGameDir=" + iniFolder.toUtf8() + "\n"
                                                    : "[Server]\n"));
    UserSettings settings(temp.filePath("settings.ini"));
    if (settingsNameOne)
        QVERIFY(settings.setGameDirectory(settingsFolder));

    // As at start-up, then again once the remote configuration has named the executable.
    LauncherConfig config;
    config.load(ini);
    settings.applyTo(config);
    gamefolder::settle(config, working, true);
    config.gameExecutable = "system/l2.exe";
    gamefolder::settle(config, working);

    const QString perUser =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Veyrun/game";
    const QHash<QString, QString> folders{{"ini", iniFolder},
                                          {"settings", settingsFolder},
                                          {"working", working},
                                          {"per-user", perUser}};
    QCOMPARE(QDir::cleanPath(QDir(config.gameDirectory).absolutePath()),
             QDir::cleanPath(folders.value(expected)));
    // Choosing writes nothing: the folder is made when the game is installed into it.
    QVERIFY(!QFileInfo::exists(perUser));
}

QTEST_GUILESS_MAIN(GameFolderTest)
#include "tst_gamefolder.moc"
