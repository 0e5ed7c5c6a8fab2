#include "core/logger.h"
#include "support/testsupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

class LoggerTest : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat();
    void placeholdersInMessageStayLiteral();
    void unknownLevelName();
    void rotation_data();
    void rotation();
    void listenerWithoutFile();
    void listenerReplacedAndRemoved();
    void concurrentLinesNeverInterleave();
    void removedListenerIsNeverCalledAgain();
    void defaultLocationUnderRoamingData();

private:
    QTemporaryDir dir;
};

void LoggerTest::lineFormat()
{
    const QString path = dir.filePath("format/launcher.log");
    {
        Logger logger(path);
        logger.log(Warn, "disk almost full");
        logger.log(Info, "second");
    }
    const QStringList lines = testsupport::readLines(path);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(QRegularExpression(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[WARN\] disk almost full$)")
                 .match(lines[0])
                 .hasMatch(),
             qPrintable(lines[0]));
    QVERIFY(lines[1].endsWith("] [INFO] second"));
}

void LoggerTest::placeholdersInMessageStayLiteral()
{
    const QString path = dir.filePath("literal/launcher.log");
    Logger logger(path);
    QString seen;
    logger.setLogListener([&seen](const QString &line) { seen = line; });
    logger.log(Error, "100%1 done %2 and %3");
    QVERIFY2(seen.endsWith("] [ERROR] 100%1 done %2 and %3"), qPrintable(seen));
    QCOMPARE(testsupport::readLines(path).value(0), seen);
}

void LoggerTest::unknownLevelName()
{
    QCOMPARE(Logger::levelName(static_cast<LogLevel>(7)), QString("UNKNOWN"));
    QCOMPARE(Logger::levelName(Debug), QString("DEBUG"));
    QCOMPARE(Logger::levelName(Error), QString("ERROR"));
}

void LoggerTest::rotation_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("rotates");
    QTest::newRow("exactly 5 MiB stays") << qint64(5242880) << false;
    QTest::newRow("one byte more rotates") << qint64(5242881) << true;
}

void LoggerTest::rotation()
{
    QFETCH(qint64, size);
    QFETCH(bool, rotates);
    const QString path = dir.filePath(QString("rotation%1/launcher.log").arg(size));
    QVERIFY(testsupport::writeFile(path, QByteArray(size, 'x')));
    QVERIFY(testsupport::writeFile(path + ".old", "older generation"));
    {
        Logger logger(path);
        logger.log(Info, "after start");
    }
    if (rotates) {
        QCOMPARE(QFileInfo(path + ".old").size(), size);
        QCOMPARE(testsupport::readLines(path).size(), 1);
    } else {
        QVERIFY(QFileInfo(path).size() > size);
        QCOMPARE(testsupport::readLines(path + ".old").value(0), QString("older generation"));
    }
}

void LoggerTest::listenerWithoutFile()
{
    // A regular file where the folder should be: neither the folder nor the log can be made.
    const QString blocker = dir.filePath("blocked");
    QVERIFY(testsupport::writeFile(blocker, "not a folder"));
    Logger logger(blocker + "/sub/launcher.log");
    QStringList seen;
    logger.setLogListener([&seen](const QString &line) { seen << line; });
    logger.log(Warn, "still delivered");
    QCOMPARE(seen.size(), 1);
    QVERIFY(seen[0].endsWith("] [WARN] still delivered"));
}

void LoggerTest::listenerReplacedAndRemoved()
{
    Logger logger(dir.filePath("replace/launcher.log"));
    int first = 0, second = 0;
    logger.setLogListener([&first](const QString &) { ++first; });
    logger.log(Info, "a");
    logger.setLogListener([&second](const QString &) { ++second; });
    logger.log(Info, "b");
    logger.setLogListener({});
    logger.log(Info, "c");
    QCOMPARE(first, 1);
    QCOMPARE(second, 1);
}

void LoggerTest::concurrentLinesNeverInterleave()
{
    const QString path = dir.filePath("threads/launcher.log");
    constexpr int threadCount = 8;
    constexpr int linesPerThread = 2000;
    {
        Logger logger(path);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create([&logger, t] {
                const QString payload(200, QChar('a' + t));
                for (int i = 0; i < linesPerThread; ++i)
                    logger.log(Info, QString("t%1 #%2 %3").arg(t).arg(i).arg(payload));
            }));
            threads.back()->start();
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(60000));
    }
    const QStringList lines = testsupport::readLines(path);
    QCOMPARE(lines.size(), threadCount * linesPerThread);
    const QRegularExpression shape(R"(^\[[^\]]+\] \[INFO\] t(\d) #(\d+) ([a-h]{200})$)");
    std::vector<int> next(threadCount, 0);
    for (const QString &line : lines) {
        const auto match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line.left(120)));
        const int t = match.captured(1).toInt();
        QCOMPARE(match.captured(3), QString(200, QChar('a' + t)));
        // Per thread the lines keep their call order.
        QCOMPARE(match.captured(2).toInt(), next[t]++);
    }
}

void LoggerTest::removedListenerIsNeverCalledAgain()
{
    // A worker logs continuously while the owner installs and then removes its listener and
    // goes away; after removal returns, the owner's state must never be touched again.
    Logger logger(dir.filePath("owner/launcher.log"));
    std::atomic<bool> stop{false};
    std::atomic<bool> calledAfterRemoval{false};
    std::unique_ptr<QThread> worker(QThread::create([&] {
        while (!stop)
            logger.log(Debug, "tick");
    }));
    worker->start();
    for (int round = 0; round < 200; ++round) {
        auto owner = std::make_shared<std::atomic<bool>>(true);
        auto calls = std::make_shared<std::atomic<int>>(0);
        logger.setLogListener([owner, calls, &calledAfterRemoval](const QString &) {
            if (!owner->load())
                calledAfterRemoval = true;
            ++*calls;
        });
        QThread::usleep(50);
        logger.setLogListener({});
        owner->store(false); // the owner is "destroyed" from here on
        const int after = calls->load();
        QThread::usleep(50);
        QCOMPARE(calls->load(), after);
    }
    stop = true;
    QVERIFY(worker->wait(10000));
    QVERIFY(!calledAfterRemoval);
}

void LoggerTest::defaultLocationUnderRoamingData()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName("Veyrun");
    QCoreApplication::setApplicationName("Veyrun Launcher");
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(appData.endsWith("/Veyrun/Veyrun Launcher"));
    QCOMPARE(Logger::defaultFilePath(), QFileInfo(appData).absolutePath() + "/Veyrun/launcher.log");
}

QTEST_GUILESS_MAIN(LoggerTest)
#include "tst_logger.moc"
