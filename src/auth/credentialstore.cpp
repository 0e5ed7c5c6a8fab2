#include "auth/credentialstore.h"

#include "core/logger.h"

#include <qt6keychain/keychain.h>

namespace {

// One entry per account; the server does not tell names apart by case.
QString entryKey(const QString &account)
{
    return account.trimmed().toLower();
}

} // namespace

CredentialStore::CredentialStore(QObject *parent) : QObject(parent) {}

// The jobs have no parent: the store's secret service answers them later, even after the window
// and its store are gone, and each job deletes itself once it has its answer. Their connections
// end with the store.

QString CredentialStore::serviceName()
{
    return QStringLiteral("Veyrun Launcher");
}

bool CredentialStore::failed(const QKeychain::Job &job, const char *operation)
{
    if (job.error() == QKeychain::NoError)
        return false;
    const QString reason = job.errorString().isEmpty() ? QStringLiteral("error %1").arg(job.error())
                                                       : job.errorString();
    // Said once a run: every later login would say it again.
    if (!unavailableLogged) {
        unavailableLogged = true;
        Logger::instance().log(Warn, QStringLiteral("No secret store answers (%1 failed: %2): the "
                                                    "password is not remembered, only the name")
                                         .arg(QLatin1String(operation), reason));
    }
    emit unavailable(reason);
    return true;
}

void CredentialStore::read(const QString &account)
{
    auto *job = new QKeychain::ReadPasswordJob(serviceName());
    job->setKey(entryKey(account));
    connect(job, &QKeychain::Job::finished, this, [this, job, account] {
        if (job->error() == QKeychain::EntryNotFound) {
            emit passwordMissing(account);
            return;
        }
        if (!failed(*job, "reading"))
            emit passwordFound(account, job->textData());
    });
    job->start();
}

void CredentialStore::store(const QString &account, const QString &password)
{
    auto *job = new QKeychain::WritePasswordJob(serviceName());
    job->setKey(entryKey(account));
    job->setTextData(password);
    connect(job, &QKeychain::Job::finished, this, [this, job] {
        if (!failed(*job, "storing"))
            Logger::instance().log(Info,
                                   QStringLiteral("Password kept in the system's secret store"));
    });
    job->start();
}

void CredentialStore::forget(const QString &account)
{
    auto *job = new QKeychain::DeletePasswordJob(serviceName());
    job->setKey(entryKey(account));
    connect(job, &QKeychain::Job::finished, this, [this, job] {
        if (job->error() == QKeychain::EntryNotFound)
            return;
        if (!failed(*job, "forgetting"))
            Logger::instance().log(
                Info, QStringLiteral("Password removed from the system's secret store"));
    });
    job->start();
}
