#include "platform/platform.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

class PlatformInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondClaimOfSameNameFails();
    void tracerPidParsing_data();
    void tracerPidParsing();
    void noDebuggerUnderTest();

private:
    QTemporaryDir runtimeDir;
};

void PlatformInstanceTest::initTestCase()
{
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
}

void PlatformInstanceTest::secondClaimOfSameNameFails()
{
    QVERIFY(platform::acquireSingleInstance("Wardgate_Test_Instance"));
    QVERIFY(QFile::exists(runtimeDir.filePath("Wardgate_Test_Instance.lock")));
    // The lock belongs to the first claim's open file: a second claim, as by another process,
    // fails.
    QVERIFY(!platform::acquireSingleInstance("Wardgate_Test_Instance"));
    QVERIFY(platform::acquireSingleInstance("Wardgate_Test_Other"));
}

void PlatformInstanceTest::tracerPidParsing_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<qint64>("pid");
    QTest::newRow("not traced") << QByteArray("Name:\tx\nTracerPid:\t0\nUid:\t0\n") << qint64(0);
    QTest::newRow("traced") << QByteArray("Name:\tx\nState:\tS\nTracerPid:\t4242\n")
                            << qint64(4242);
    QTest::newRow("missing") << QByteArray("Name:\tx\n") << qint64(0);
    QTest::newRow("garbage") << QByteArray("TracerPid:\tabc\n") << qint64(0);
    QTest::newRow("empty") << QByteArray() << qint64(0);
}

void PlatformInstanceTest::tracerPidParsing()
{
    QFETCH(QByteArray, status);
    QFETCH(qint64, pid);
    QCOMPARE(qint64(platform::parseTracerPid(status.toStdString())), pid);
}

void PlatformInstanceTest::noDebuggerUnderTest()
{
    QVERIFY(!platform::isDebuggerPresent());
}

QTEST_GUILESS_MAIN(PlatformInstanceTest)
#include "tst_platform_instance.moc"
