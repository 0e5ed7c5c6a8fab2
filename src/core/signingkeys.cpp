#include "core/signingkeys.h"

#include "deployment.h"

#include <QFile>

void SigningKeys::load(const QByteArray &builtInPem, const QString &filePath)
{
    keys.clear();
    sources.clear();
    problems.clear();
    configured = !builtInPem.trimmed().isEmpty() || !filePath.isEmpty();
    if (!builtInPem.trimmed().isEmpty())
        addKeys(builtInPem, QStringLiteral("built in"));
    if (filePath.isEmpty())
        return;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        problems.append(QStringLiteral("%1 cannot be read: %2").arg(filePath, file.errorString()));
        return;
    }
    addKeys(file.readAll(), filePath);
}

void SigningKeys::loadBuiltIn()
{
    load(QByteArray(deployment::signingKeys), QString());
}

void SigningKeys::addKeys(const QByteArray &pem, const QString &source)
{
    const platform::PublicKeyList list = platform::readP256PublicKeys(pem.toStdString());
    keys.insert(keys.end(), list.keys.begin(), list.keys.end());
    if (!list.keys.empty())
        sources.append(source);
    const QString skipped = QString::fromStdString(list.skipped).trimmed();
    if (!skipped.isEmpty())
        problems.append(QStringLiteral("%1: %2").arg(
            source, skipped.split(QLatin1Char('\n')).join(QStringLiteral(", "))));
    if (list.keys.empty())
        problems.append(QStringLiteral("%1 holds no ECDSA P-256 public key").arg(source));
}

QString SigningKeys::description() const
{
    if (!configured)
        return QStringLiteral("Signing is off: no signing key is built in or named in "
                              "launcher.ini ([Security] SigningKey=); game files and updates are "
                              "taken unsigned");
    if (keys.empty())
        return QStringLiteral("Signing is on but no key is usable (%1): nothing signed will be "
                              "accepted")
            .arg(problem());
    QString text = QStringLiteral("Trusted signing keys: %1 (from %2)")
                       .arg(QString::number(keys.size()), sources.join(QStringLiteral(", ")));
    if (!problems.isEmpty())
        text += QStringLiteral("; passed over: %1").arg(problem());
    return text;
}

bool SigningKeys::verify(const QByteArray &data, const QByteArray &signature) const
{
    const std::string der = signature.toStdString();
    for (const platform::P256PublicKey &key : keys) {
        if (platform::verifyP256Signature(key, data.constData(), std::size_t(data.size()), der))
            return true;
    }
    return false;
}
