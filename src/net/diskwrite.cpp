#include "net/diskwrite.h"

#include "core/bytesize.h"

#include <QDir>
#include <QFile>

bool writeFully(QFile &file, const char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const qint64 written = file.write(data + done, length - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

bool ranOutOfSpace(const QFile &file)
{
    return file.error() == QFileDevice::ResourceError;
}

FailureText notEnoughSpace(const QString &folder, qint64 needed)
{
    // Never "0.0 MB" for a few bytes short.
    needed = qMax<qint64>(needed, 1024 * 1024 / 10);
    // In GB from a gigabyte on, in MB below, as the window's progress lines count.
    const bool large = needed >= qint64(1024) * 1024 * 1024;
    const QString size = large ? bytesIn(needed, ByteUnit::Gigabytes, 1) + QStringLiteral(" GB")
                               : bytesIn(needed, ByteUnit::Megabytes, 1) + QStringLiteral(" MB");
    return FailureText("DiskSpace", "Not enough disk space in %1: %2 more needed")
        .arg(QDir::toNativeSeparators(folder), size);
}
