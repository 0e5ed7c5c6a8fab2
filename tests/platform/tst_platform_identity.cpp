#include "platform/platform.h"

#include <QProcess>
#include <QTest>

// The inputs of the hardware identifier, checked against what the system reports elsewhere.
class PlatformIdentityTest : public QObject
{
    Q_OBJECT

private slots:
    void cpuidLeaf0HoldsTheVendorText();
    void volumeSerialIsTheRootFileSystemId();
};

void PlatformIdentityTest::cpuidLeaf0HoldsTheVendorText()
{
#if defined(__x86_64__) || defined(__i386__)
    const std::array<std::uint32_t, 4> registers = platform::cpuidLeaf0();
    QVERIFY(registers[0] > 0);
    // The vendor text is EBX, EDX, ECX as little-endian ASCII ("GenuineIntel", "AuthenticAMD").
    QByteArray vendor;
    for (int index : {1, 3, 2})
        vendor.append(reinterpret_cast<const char *>(&registers[index]), 4);
    for (char c : vendor)
        QVERIFY2(c >= 0x20 && c < 0x7f, vendor.toHex().constData());
    QVERIFY(platform::cpuidLeaf0() == registers);
#else
    QVERIFY(platform::cpuidLeaf0() == (std::array<std::uint32_t, 4>{}));
#endif
}

void PlatformIdentityTest::volumeSerialIsTheRootFileSystemId()
{
    // coreutils prints the file system id with the first word in the upper 32 bits; that first
    // word is the low half of statvfs's f_fsid.
    QProcess stat;
    stat.start("stat", {"-f", "-c", "%i", "/"});
    QVERIFY(stat.waitForFinished(10000));
    bool ok = false;
    const quint64 fsid = stat.readAllStandardOutput().trimmed().toULongLong(&ok, 16);
    QVERIFY(ok);
    QCOMPARE(platform::systemVolumeSerial(), std::uint32_t(fsid >> 32));
}

QTEST_GUILESS_MAIN(PlatformIdentityTest)
#include "tst_platform_identity.moc"
