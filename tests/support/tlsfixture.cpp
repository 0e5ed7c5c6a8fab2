#include "support/tlsfixture.h"

#include <QFile>
#include <QProcess>

namespace testsupport {

namespace {

bool runOpenssl(const QStringList &arguments, QString *error)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2")
                     .arg(arguments.constFirst(),
                          QString::fromLocal8Bit(openssl.readAllStandardError()));
        return false;
    }
    return true;
}

// `openssl req -x509` cannot date a certificate in the past; `openssl ca` can, with a minimal
// authority of its own (database, serial) in `dir`.
bool signExpired(const QString &dir, const QString &keyPath, const QString &requestPath,
                 const QString &certPath, QString *error)
{
    QFile config(dir + QStringLiteral("/ca.cnf"));
    QFile index(dir + QStringLiteral("/index.txt"));
    QFile serial(dir + QStringLiteral("/serial"));
    if (!config.open(QIODevice::WriteOnly) || !index.open(QIODevice::WriteOnly) ||
        !serial.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write the openssl ca files");
        return false;
    }
    config.write("[ca]\ndefault_ca = d\n[d]\ndatabase = " + index.fileName().toUtf8() +
                 "\nnew_certs_dir = " + dir.toUtf8() + "\nserial = " + serial.fileName().toUtf8() +
                 "\ndefault_md = sha256\npolicy = p\nunique_subject = no\n"
                 "copy_extensions = copy\n[p]\ncommonName = supplied\n");
    serial.write("01\n");
    config.close();
    index.close();
    serial.close();
    return runOpenssl({"ca", "-batch", "-config", config.fileName(), "-selfsign", "-keyfile",
                       keyPath, "-in", requestPath, "-out", certPath, "-startdate",
                       "20200101000000Z", "-enddate", "20200102000000Z"},
                      error);
}

} // namespace

bool makeSelfSignedCertificate(const QString &dir, SelfSignedCertificate *result, QString *error,
                               const CertificateOptions &options)
{
    const QString certPath = dir + QStringLiteral("/cert.pem");
    const QString keyPath = dir + QStringLiteral("/key.pem");
    const QString subject = QStringLiteral("/CN=") + options.commonName;
    const QString altName = QStringLiteral("subjectAltName=") + options.subjectAltName;
    if (options.expired) {
        const QString requestPath = dir + QStringLiteral("/request.pem");
        if (!runOpenssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", subject, "-addext",
                         altName, "-keyout", keyPath, "-out", requestPath},
                        error) ||
            !signExpired(dir, keyPath, requestPath, certPath, error))
            return false;
    } else if (!runOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            subject, "-addext", altName, "-keyout", keyPath, "-out", certPath},
                           error)) {
        return false;
    }
    QFile certFile(certPath);
    QFile keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read what openssl wrote");
        return false;
    }
    result->certificate = QSslCertificate(&certFile, QSsl::Pem);
    result->key = QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem);
    result->certificatePath = certPath;
    if (result->certificate.isNull() || result->key.isNull()) {
        *error = QStringLiteral("openssl wrote an unreadable certificate or key");
        return false;
    }
    return true;
}

} // namespace testsupport
