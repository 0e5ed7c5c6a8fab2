#include "app/singleinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

// A second start reaches the first through a socket in the user's own runtime folder: whatever
// another user left under the name in the shared temporary folder is in nobody's way.
class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void secondStartReachesTheFirst_data();
    void secondStartReachesTheFirst();
};

void SingleInstanceTest::secondStartReachesTheFirst_data()
{
    QTest::addColumn<bool>("squatted"); // another user's entry under the name in the temp folder
    QTest::newRow("free") << false;
    QTest::newRow("name taken in the shared temporary folder") << true;
}

void SingleInstanceTest::secondStartReachesTheFirst()
{
    QFETCH(bool, squatted);
    const QString name = QString("Wardgate_Test_Instance_%1_%2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(squatted);
    // What this user cannot remove there: a folder stands in for another user's socket.
    const QString shared = QDir::tempPath() + "/" + name;
    if (squatted)
        QVERIFY(QDir().mkpath(shared + "/inside"));
    const auto cleanup = qScopeGuard([&] { QDir(shared).removeRecursively(); });

    SingleInstance first(name);
    QVERIFY(first.acquire());
    QSignalSpy activated(&first, &SingleInstance::activationRequested);
    SingleInstance second(name);
    second.activateRunningInstance("Veyrun Launcher");
    QTRY_COMPARE(activated.size(), 1);
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
