#include "net/transferrate.h"

#include <QTest>

#include <cmath>

// The speed and the time left of a download: nothing until there is a speed, a speed before an
// estimate, the speed that held over the last seconds (not a burst within them), and a fresh
// start when the count falls.
class TransferRateTest : public QObject
{
    Q_OBJECT

private slots:
    void speedAndTimeLeft_data();
    void speedAndTimeLeft();
};

void TransferRateTest::speedAndTimeLeft_data()
{
    QTest::addColumn<QList<qint64>>("readings"); // bytes done, one reading every 500 ms
    QTest::addColumn<qint64>("remaining");
    QTest::addColumn<double>("mibPerSecond"); // -1: none yet
    QTest::addColumn<qint64>("secondsLeft");  // -1: none yet

    const qint64 mib = 1024 * 1024;
    auto steady = [](qint64 perReading, int count, qint64 start = 0) {
        QList<qint64> readings;
        for (int i = 0; i < count; ++i)
            readings << start + perReading * i;
        return readings;
    };
    QTest::newRow("no history yet") << steady(mib, 3) << 10 * mib << -1.0 << qint64(-1);
    QTest::newRow("a speed, no estimate yet") << steady(mib, 5) << 10 * mib << 2.0 << qint64(-1);
    QTest::newRow("both") << steady(mib, 8) << 37 * mib << 2.0 << qint64(19);
    // The last five seconds count: a burst long ago no longer lifts the speed.
    QList<qint64> old{0, 100 * mib};
    old << steady(mib / 2, 12, 100 * mib);
    QTest::newRow("only the window counts") << old << 60 * mib << 1.0 << qint64(60);
    // Resumed under a 2 MiB/s limit: the buffers and the kept parts arrive at once, then the
    // limit holds. The speed shown is the limit's, not the burst's.
    QList<qint64> resumed{0, 6 * mib};
    resumed << steady(mib, 8, 7 * mib);
    QTest::newRow("a burst after resume") << resumed << 20 * mib << 2.0 << qint64(10);
    // A burst at the end (a part counted again as its transfer resumes) moves nothing either.
    QList<qint64> late = steady(mib, 10);
    late << 9 * mib + 8 * mib;
    QTest::newRow("a burst at the end") << late << 20 * mib << 2.0 << qint64(10);
    // A failed attempt's bytes taken back: the history before it no longer says anything.
    QList<qint64> fallen = steady(mib, 8);
    fallen << 2 * mib << 3 * mib;
    QTest::newRow("a falling count starts over") << fallen << 10 * mib << -1.0 << qint64(-1);
}

void TransferRateTest::speedAndTimeLeft()
{
    QFETCH(QList<qint64>, readings);
    QFETCH(qint64, remaining);
    QFETCH(double, mibPerSecond);
    QFETCH(qint64, secondsLeft);
    TransferRate rate;
    qint64 now = 1000000;
    for (const qint64 bytes : readings) {
        rate.add(bytes, now);
        now += 500;
    }
    const double shown = rate.bytesPerSecond();
    if (mibPerSecond < 0)
        QVERIFY2(shown < 0, qPrintable(QString::number(shown)));
    else
        QVERIFY2(std::abs(shown / (1024 * 1024) - mibPerSecond) < 0.01,
                 qPrintable(QString::number(shown / (1024 * 1024))));
    QCOMPARE(rate.secondsLeft(remaining), secondsLeft);
}

QTEST_GUILESS_MAIN(TransferRateTest)
#include "tst_transferrate.moc"
