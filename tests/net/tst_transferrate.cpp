#include "net/transferrate.h"

#include <QTest>

// What follows a progress line: nothing until there is a speed, a speed before an estimate, both
// smoothed over the last seconds, and a fresh start when the count falls.
class TransferRateTest : public QObject
{
    Q_OBJECT

private slots:
    void suffix_data();
    void suffix();
};

void TransferRateTest::suffix_data()
{
    QTest::addColumn<QList<qint64>>("readings"); // bytes done, one reading every 500 ms
    QTest::addColumn<qint64>("remaining");
    QTest::addColumn<QString>("expected");

    const qint64 mib = 1024 * 1024;
    auto steady = [](qint64 perReading, int count, qint64 start = 0) {
        QList<qint64> readings;
        for (int i = 0; i < count; ++i)
            readings << start + perReading * i;
        return readings;
    };
    QTest::newRow("no history yet") << steady(mib, 2) << 10 * mib << QString();
    QTest::newRow("a speed, no estimate yet") << steady(mib, 4) << 10 * mib << " · 2.0 MB/s";
    QTest::newRow("seconds, rounded up to five")
        << steady(mib, 8) << 37 * mib << " · 2.0 MB/s · about 20 s left";
    QTest::newRow("minutes") << steady(4 * mib, 8) << 1000 * mib
                             << " · 8.0 MB/s · about 3 min left";
    QTest::newRow("hours and minutes")
        << steady(mib / 2, 8) << 4000 * mib << " · 1.0 MB/s · about 1 h 7 min left";
    QTest::newRow("fast speeds lose the decimal")
        << steady(20 * mib, 8) << 2000 * mib << " · 40 MB/s · about 50 s left";
    // The last five seconds count: a burst long ago no longer lifts the speed.
    QList<qint64> burst{0, 100 * mib};
    burst << steady(mib / 2, 12, 100 * mib);
    QTest::newRow("only the window counts")
        << burst << 60 * mib << " · 1.0 MB/s · about 1 min left";
    // A failed attempt's bytes taken back: the history before it no longer says anything.
    QList<qint64> fallen = steady(mib, 8);
    fallen << 2 * mib << 3 * mib;
    QTest::newRow("a falling count starts over") << fallen << 10 * mib << QString();
}

void TransferRateTest::suffix()
{
    QFETCH(QList<qint64>, readings);
    QFETCH(qint64, remaining);
    QFETCH(QString, expected);
    TransferRate rate;
    qint64 now = 1000000;
    for (const qint64 bytes : readings) {
        rate.add(bytes, now);
        now += 500;
    }
    QCOMPARE(rate.suffix(remaining), expected);
}

QTEST_GUILESS_MAIN(TransferRateTest)
#include "tst_transferrate.moc"
