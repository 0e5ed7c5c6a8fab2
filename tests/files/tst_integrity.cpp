#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

using testsupport::FileServerFixture;
using testsupport::LogCapture;

// The integrity monitor over files that were installed in order.
class IntegrityTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void matchesBySuffixIgnoringCaseAndBlanks();
    void emptyPatternMatchesEverything();
    void delayFollowsTheBounds();
    void cleanChecksRearm();
    void reportsOnlyTheFirstModifiedFileAndStops();
    void missingFileCountsAsModified();
    void stopWithoutMonitorLogsNothing();
    void startWithoutMatchStopsArmedMonitor();

private:
    std::unique_ptr<FileManager> managerWith(const QStringList &patterns, int min, int max);
    QTimer *timerOf(FileManager &manager);
    QStringList watched(const LogCapture &log) const;

    std::unique_ptr<FileServerFixture> fixture;
};

void IntegrityTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void IntegrityTest::init()
{
    fixture = std::make_unique<FileServerFixture>();
    QVERIFY(fixture->start());
    const QMap<QString, QByteArray> files{
        {"system/core.dll", "core"},         {"system/engine.dll", "engine"},
        {"system/myengine.dll", "myengine"}, {"system/l2.ini", "ini"},
        {"maps/engine.dll.bak", "backup"},
    };
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(fixture->serve(it.key(), it.value()));
        QVERIFY(fixture->install(it.key(), it.value()));
    }
}

std::unique_ptr<FileManager> IntegrityTest::managerWith(const QStringList &patterns, int min,
                                                        int max)
{
    LauncherConfig &config = LauncherConfig::instance();
    config.integrityFiles = patterns;
    config.integrityCheckMin = min;
    config.integrityCheckMax = max;
    auto manager = std::make_unique<FileManager>();
    return testsupport::loadManifest(*manager) ? std::move(manager) : nullptr;
}

QTimer *IntegrityTest::timerOf(FileManager &manager)
{
    return manager.findChild<QTimer *>(QStringLiteral("integrityTimer"));
}

QStringList IntegrityTest::watched(const LogCapture &log) const
{
    QStringList paths;
    const QString marker = "[INFO] Integrity monitor: watching ";
    for (const QString &line : log.matching(marker))
        paths.append(line.mid(line.indexOf(marker) + marker.size()));
    return paths;
}

void IntegrityTest::matchesBySuffixIgnoringCaseAndBlanks()
{
    auto manager = managerWith({"engine.dll", "  CORE.DLL  "}, 60, 60);
    QVERIFY(manager);
    LogCapture log;
    manager->startIntegrityMonitor();
    // Manifest order (the dev server sorts paths), each file once.
    QCOMPARE(watched(log),
             (QStringList{"system/core.dll", "system/engine.dll", "system/myengine.dll"}));
    QVERIFY(log.contains("[INFO] Integrity monitoring started (3 file(s) watched)"));
}

void IntegrityTest::emptyPatternMatchesEverything()
{
    auto manager = managerWith({"   "}, 60, 60);
    QVERIFY(manager);
    LogCapture log;
    manager->startIntegrityMonitor();
    QCOMPARE(watched(log).size(), 5);
}

void IntegrityTest::delayFollowsTheBounds()
{
    struct Case
    {
        int min;
        int max;
        int lowest;
        int highest;
    };
    // Equal bounds give one value; reversed bounds are swapped; nothing runs sooner than 1 s.
    const QList<Case> cases{{60, 60, 60000, 60000},
                            {60, 180, 60000, 180000},
                            {180, 60, 60000, 180000},
                            {0, 0, 1000, 1000},
                            {-5, 2, 1000, 2000}};
    for (const Case &c : cases) {
        auto manager = managerWith({"l2.ini"}, c.min, c.max);
        QVERIFY(manager);
        QTimer *timer = timerOf(*manager);
        QVERIFY(timer);
        for (int round = 0; round < 20; ++round) {
            LogCapture log;
            manager->startIntegrityMonitor();
            QVERIFY(timer->isActive());
            QVERIFY(timer->isSingleShot());
            const int delay = timer->interval();
            QVERIFY2(delay >= c.lowest && delay <= c.highest, qPrintable(QString::number(delay)));
            QCOMPARE(
                log.count(QString("[DEBUG] Next integrity check in %1 seconds").arg(delay / 1000)),
                1);
            manager->stopIntegrityMonitor();
        }
    }
}

void IntegrityTest::cleanChecksRearm()
{
    auto manager = managerWith({"core.dll"}, 0, 0);
    QVERIFY(manager);
    LogCapture log;
    QSignalSpy violations(manager.get(), &FileManager::integrityViolation);
    manager->startIntegrityMonitor();
    QTRY_VERIFY_WITH_TIMEOUT(
        log.count("[DEBUG] Integrity check passed — all monitored files OK") >= 3, 8000);
    QVERIFY(log.count("[DEBUG] Running integrity check...") >= 3);
    // Zero bounds meet the 1 s floor, said once for the whole run.
    QCOMPARE(log.count("Integrity check interval below 1 s"), 1);
    manager->stopIntegrityMonitor();
    QCOMPARE(log.count("[INFO] Integrity monitoring stopped"), 1);
    QVERIFY(!timerOf(*manager)->isActive());
    QCOMPARE(violations.size(), 0);
}

void IntegrityTest::reportsOnlyTheFirstModifiedFileAndStops()
{
    auto manager = managerWith({".dll"}, 0, 0);
    QVERIFY(manager);
    // Same sizes, other bytes: only the digest notices.
    QVERIFY(fixture->install("system/engine.dll", "ENGINE"));
    QVERIFY(fixture->install("system/myengine.dll", "MYENGINE"));
    LogCapture log;
    QSignalSpy violations(manager.get(), &FileManager::integrityViolation);
    manager->startIntegrityMonitor();
    QVERIFY(violations.wait(5000));
    QTest::qWait(200);

    QCOMPARE(violations.size(), 1);
    QCOMPARE(violations.first().at(0).toString(), QString("system/engine.dll"));
    QCOMPARE(log.count("[ERROR] INTEGRITY VIOLATION: system/engine.dll has been modified!"), 1);
    QCOMPARE(log.count("INTEGRITY VIOLATION"), 1);
    QCOMPARE(log.count("[DEBUG] Hash mismatch for system/engine.dll"), 1);
    QCOMPARE(log.count("[DEBUG] Running integrity check..."), 1);
    QVERIFY(!timerOf(*manager)->isActive());
}

void IntegrityTest::missingFileCountsAsModified()
{
    auto manager = managerWith({"l2.ini"}, 0, 0);
    QVERIFY(manager);
    QVERIFY(QFile::remove(fixture->gameDir() + "/system/l2.ini"));
    QSignalSpy violations(manager.get(), &FileManager::integrityViolation);
    manager->startIntegrityMonitor();
    QVERIFY(violations.wait(5000));
    QCOMPARE(violations.first().at(0).toString(), QString("system/l2.ini"));
}

void IntegrityTest::stopWithoutMonitorLogsNothing()
{
    auto manager = managerWith({"core.dll"}, 60, 60);
    QVERIFY(manager);
    LogCapture log;
    manager->stopIntegrityMonitor();
    QVERIFY(log.lines().isEmpty());
}

void IntegrityTest::startWithoutMatchStopsArmedMonitor()
{
    auto manager = managerWith({"core.dll"}, 60, 60);
    QVERIFY(manager);
    manager->startIntegrityMonitor();
    QVERIFY(timerOf(*manager)->isActive());

    LauncherConfig::instance().integrityFiles = {"nothing.here"};
    LogCapture log;
    manager->startIntegrityMonitor();
    QVERIFY(!timerOf(*manager)->isActive());
    QCOMPARE(log.count("[WARN] Integrity monitoring: no matching files found in manifest — "
                       "check MonitoredFiles config"),
             1);
    QCOMPARE(log.count("[INFO] Integrity monitoring stopped"), 1);
}

QTEST_GUILESS_MAIN(IntegrityTest)
#include "tst_integrity.moc"
