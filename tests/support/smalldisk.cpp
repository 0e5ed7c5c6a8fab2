#include "support/smalldisk.h"

#include <QDir>
#include <QProcess>

namespace testsupport {

SmallDisk::SmallDisk(const QString &folder, int megabytes) : folder(folder)
{
    QDir().mkpath(folder);
    QProcess mount;
    mount.start(QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                 QStringLiteral("size=%1m").arg(megabytes), QStringLiteral("tmpfs"), folder});
    if (!mount.waitForFinished(10000) || mount.exitStatus() != QProcess::NormalExit ||
        mount.exitCode() != 0) {
        why = QStringLiteral("cannot mount a tmpfs on %1 (mounting needs root): %2")
                  .arg(folder, QString::fromLocal8Bit(mount.readAllStandardError()).trimmed());
        return;
    }
    mounted = true;
}

SmallDisk::~SmallDisk()
{
    if (mounted)
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder});
}

} // namespace testsupport
