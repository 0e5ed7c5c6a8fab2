#include "platform/platform.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The signature check against vectors the openssl command makes.
class PlatformSignatureTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void keyReader_data();
    void keyReader();
    void derReader_data();
    void derReader();

private:
    std::string read(const QString &name) const;
    QTemporaryDir vectors;
};

std::string PlatformSignatureTest::read(const QString &name) const
{
    QFile file(vectors.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    return file.readAll().toStdString();
}

void PlatformSignatureTest::initTestCase()
{
    QVERIFY(vectors.isValid());
    QProcess make;
    make.start(QStringLiteral(WARDGATE_SOURCE_DIR "/tests/platform/make-signature-vectors"),
               {vectors.path()});
    QVERIFY(make.waitForFinished(30000));
    QCOMPARE(make.exitCode(), 0);
}

void PlatformSignatureTest::verify_data()
{
    QTest::addColumn<QString>("keyFile");
    QTest::addColumn<QString>("signatureFile");
    QTest::addColumn<int>("flipDataBit");      // -1: none
    QTest::addColumn<int>("flipSignatureBit"); // counted from the end; -1: none
    QTest::addColumn<bool>("valid");
    QTest::newRow("good") << "pub.pem"
                          << "data.sig" << -1 << -1 << true;
    QTest::newRow("one bit of the data") << "pub.pem"
                                         << "data.sig" << 4000 << -1 << false;
    QTest::newRow("one bit of the signature") << "pub.pem"
                                              << "data.sig" << -1 << 3 << false;
    QTest::newRow("another key") << "other.pem"
                                 << "data.sig" << -1 << -1 << false;
    QTest::newRow("a P-384 signature") << "pub.pem"
                                       << "p384.sig" << -1 << -1 << false;
}

void PlatformSignatureTest::verify()
{
    QFETCH(QString, keyFile);
    QFETCH(QString, signatureFile);
    QFETCH(int, flipDataBit);
    QFETCH(int, flipSignatureBit);
    QFETCH(bool, valid);
    const platform::PublicKeyList keys = platform::readP256PublicKeys(read(keyFile));
    QCOMPARE(keys.keys.size(), std::size_t(1));
    std::string data = read(QStringLiteral("data.bin"));
    std::string signature = read(signatureFile);
    QVERIFY(!data.empty() && !signature.empty());
    if (flipDataBit >= 0)
        data[flipDataBit / 8] ^= char(1 << (flipDataBit % 8));
    if (flipSignatureBit >= 0)
        signature[signature.size() - 1 - flipSignatureBit / 8] ^= char(1 << (flipSignatureBit % 8));
    QCOMPARE(platform::verifyP256Signature(keys.keys.front(), data.data(), data.size(), signature),
             valid);
}

void PlatformSignatureTest::keyReader_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("keys");
    QTest::addColumn<bool>("skipped");
    QTest::newRow("one key") << QStringList{"pub.pem"} << 1 << false;
    QTest::newRow("two keys in one file") << QStringList{"pub.pem", "other.pem"} << 2 << false;
    QTest::newRow("P-384 left out") << QStringList{"p384.pem", "pub.pem"} << 1 << true;
    QTest::newRow("private key is no public key") << QStringList{"key.pem"} << 0 << true;
}

void PlatformSignatureTest::keyReader()
{
    QFETCH(QStringList, files);
    QFETCH(int, keys);
    QFETCH(bool, skipped);
    std::string pem = "# trusted keys\n";
    for (const QString &file : files)
        pem += read(file) + "\n";
    const platform::PublicKeyList list = platform::readP256PublicKeys(pem);
    QCOMPARE(int(list.keys.size()), keys);
    QCOMPARE(!list.skipped.empty(), skipped);
}

void PlatformSignatureTest::derReader_data()
{
    QTest::addColumn<QByteArray>("der");
    QTest::addColumn<bool>("valid");
    const QByteArray r(32, '\x11');
    const QByteArray high(32, '\x91');
    QTest::newRow("short integers") << QByteArray::fromHex("3006020101020102") << true;
    const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
    QTest::newRow("full integers") << hex("30440220") + r + hex("0220") + r << true;
    QTest::newRow("sign byte") << hex("3046022100") + high + hex("022100") + high << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("trailing byte") << QByteArray::fromHex("300602010102010200") << false;
    QTest::newRow("wrong length") << QByteArray::fromHex("3007020101020102") << false;
    QTest::newRow("negative") << QByteArray::fromHex("3006020181020102") << false;
    QTest::newRow("needless zero") << QByteArray::fromHex("300702020001020102") << false;
    QTest::newRow("zero") << QByteArray::fromHex("3006020100020102") << false;
    QTest::newRow("33 bytes") << hex("3046022101") + r + hex("022101") + r << false;
}

void PlatformSignatureTest::derReader()
{
    QFETCH(QByteArray, der);
    QFETCH(bool, valid);
    QCOMPARE(platform::decodeDerSignature(der.toStdString()).has_value(), valid);
}

QTEST_GUILESS_MAIN(PlatformSignatureTest)
#include "tst_platform_signature.moc"
