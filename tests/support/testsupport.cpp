#include "support/testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace testsupport {

QString helperPath(const QString &name)
{
    return QStringLiteral(WARDGATE_HELPER_DIR) + QLatin1Char('/') + name;
}

QString launcherPath()
{
    return QStringLiteral(WARDGATE_LAUNCHER_PATH);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void lockGameClients()
{
    // The kernel drops the lock when the process ends, however it ends; fake clients do not
    // inherit the descriptor.
    static const int descriptor = [] {
        const QByteArray path = QFile::encodeName(QDir::tempPath()) + "/wardgate-game-clients.lock";
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::flock(fd, LOCK_EX);
        return fd;
    }();
    Q_UNUSED(descriptor);
}

QByteArray patternedBytes(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + seed * 17) ^ (i >> 7));
    return bytes;
}

void quietPeriod(int ms)
{
    QTest::qWait(ms);
}

bool waitUntilListening(const QProcess &process, quint16 port)
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace testsupport
