#pragma once

#include <QObject>
#include <QString>

namespace QKeychain {
class Job;
}

// The player's remembered password, kept only in the system's secret store (the Secret Service
// on Linux, the Credential Manager on Windows) under the launcher's name and the account's, never
// in a file of the launcher's. Every operation answers later by a signal; where no store answers,
// that is logged once and reported by `unavailable`, and nothing else fails.
class CredentialStore : public QObject
{
    Q_OBJECT

public:
    explicit CredentialStore(QObject *parent = nullptr);

    // Answers with passwordFound, passwordMissing or unavailable.
    void read(const QString &account);
    // Answers with unavailable when the password cannot be kept.
    void store(const QString &account, const QString &password);
    // Answers with unavailable when the store cannot be reached; a password that was never kept
    // is no failure.
    void forget(const QString &account);

    // The entry's name in the store, for the store's own tools: the service is the launcher's.
    static QString serviceName();

signals:
    void passwordFound(const QString &account, const QString &password);
    void passwordMissing(const QString &account);
    // No secret store answers here; `reason` is the store's own words, for the log.
    void unavailable(const QString &reason);

private:
    // The store's failure, as the job reports it; false when the job succeeded.
    bool failed(const QKeychain::Job &job, const char *operation);

    bool unavailableLogged = false;
};
