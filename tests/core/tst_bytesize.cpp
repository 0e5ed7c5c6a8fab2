#include "core/bytesize.h"

#include <QTest>

// Byte counts as the progress texts and log lines show them: a number of kilo-, mega- or
// gigabytes (each 1024 of the one before) with a fixed number of decimals.
class ByteSizeTest : public QObject
{
    Q_OBJECT

private slots:
    void shownAmount_data();
    void shownAmount();
};

void ByteSizeTest::shownAmount_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<ByteUnit>("unit");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing") << qint64(0) << ByteUnit::Megabytes << 2 << "0.00";
    QTest::newRow("a kilobyte and a half") << qint64(1536) << ByteUnit::Kilobytes << 2 << "1.50";
    QTest::newRow("a few MB, rounded")
        << qint64(5 * 1048576 + 943718) << ByteUnit::Megabytes << 1 << "5.9";
    QTest::newRow("whole MB") << qint64(700 * 1048576 + 262144) << ByteUnit::Megabytes << 0
                              << "700";
    QTest::newRow("GB") << qint64(9) * 1024 * 1024 * 1024 + 858993459 << ByteUnit::Gigabytes << 1
                        << "9.8";
    QTest::newRow("the largest count")
        << std::numeric_limits<qint64>::max() << ByteUnit::Gigabytes << 0 << "8589934592";
}

void ByteSizeTest::shownAmount()
{
    QFETCH(qint64, bytes);
    QFETCH(ByteUnit, unit);
    QFETCH(int, decimals);
    QFETCH(QString, expected);
    QCOMPARE(bytesIn(bytes, unit, decimals), expected);
}

QTEST_GUILESS_MAIN(ByteSizeTest)
#include "tst_bytesize.moc"
