#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// The public keys whose ECDSA P-256 signatures the launcher trusts: those built in and those of
// the PEM file the ini names. A signature by any of them counts, so a key can be rolled. Once a
// key is expected (built in, or a file named), every signature is checked: a named file that
// holds no usable key makes every check fail rather than turning signing off.
class SigningKeys
{
public:
    // `builtInPem` may be empty; `filePath` empty means the ini names no file.
    void load(const QByteArray &builtInPem, const QString &filePath);
    // The deployment's keys alone, as before any ini is read.
    void loadBuiltIn();

    bool isConfigured() const { return configured; }
    int count() const { return int(keys.size()); }
    // The start-up log line: which keys are trusted, or that signing is off and why.
    QString description() const;
    // Why keys that were expected could not all be read; empty when they could.
    QString problem() const { return problems.join(QStringLiteral("; ")); }

    bool verify(const QByteArray &data, const QByteArray &signature) const;

private:
    void addKeys(const QByteArray &pem, const QString &source);

    std::vector<platform::P256PublicKey> keys;
    QStringList sources;
    QStringList problems;
    bool configured = false;
};
