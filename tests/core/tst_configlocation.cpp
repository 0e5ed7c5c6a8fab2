#include "core/configlocation.h"
#include "support/testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class ConfigLocationTest : public QObject
{
    Q_OBJECT

private slots:
    void firstReadableFileWins_data();
    void firstReadableFileWins();
};

void ConfigLocationTest::firstReadableFileWins_data()
{
    // Which of the three places hold a file ("f"), a folder of that name ("d") or nothing ("-"):
    // working directory, beside the executable, user's configuration folder.
    QTest::addColumn<QString>("places");
    QTest::addColumn<int>("expected");
    QTest::newRow("none") << "---" << -1;
    QTest::newRow("working directory first") << "fff" << 0;
    QTest::newRow("beside the executable next") << "-ff" << 1;
    QTest::newRow("user folder last") << "--f" << 2;
    QTest::newRow("a folder is no file") << "dd-" << -1;
    QTest::newRow("folder skipped") << "d-f" << 2;
}

void ConfigLocationTest::firstReadableFileWins()
{
    QFETCH(QString, places);
    QFETCH(int, expected);

    QTemporaryDir root;
    const QString previous = QDir::currentPath();
    QDir().mkpath(root.filePath("cwd"));
    QDir::setCurrent(root.filePath("cwd"));
    const QStringList candidates =
        configlocation::candidates(root.filePath("exe"), root.filePath("user"));
    QCOMPARE(candidates,
             QStringList({"config/launcher.ini", root.filePath("exe/config/launcher.ini"),
                          root.filePath("user/Veyrun/launcher.ini")}));
    for (int i = 0; i < 3; ++i) {
        if (places[i] == 'f')
            QVERIFY(testsupport::writeFile(candidates[i], "[Game]\nGameDir=x\n"));
        else if (places[i] == 'd')
            QVERIFY(QDir().mkpath(candidates[i]));
    }
    const QString found = configlocation::find(candidates);
    QDir::setCurrent(previous);
    QCOMPARE(found, expected < 0 ? QString() : candidates[expected]);
}

QTEST_GUILESS_MAIN(ConfigLocationTest)
#include "tst_configlocation.moc"
