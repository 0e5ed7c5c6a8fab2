#include "zipwriter.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

namespace {

constexpr qint64 blockSize = 1 << 20;

la_ssize_t writeToFile(struct archive *, void *device, const void *data, size_t size)
{
    return static_cast<QSaveFile *>(device)->write(static_cast<const char *>(data),
                                                   static_cast<qint64>(size));
}

int permissionsOf(const QFileInfo &info)
{
    const QFile::Permissions p = info.permissions();
    int mode = 0;
    mode |= p.testFlag(QFile::ReadOwner) ? 0400 : 0;
    mode |= p.testFlag(QFile::WriteOwner) ? 0200 : 0;
    mode |= p.testFlag(QFile::ExeOwner) ? 0100 : 0;
    mode |= p.testFlag(QFile::ReadGroup) ? 040 : 0;
    mode |= p.testFlag(QFile::WriteGroup) ? 020 : 0;
    mode |= p.testFlag(QFile::ExeGroup) ? 010 : 0;
    mode |= p.testFlag(QFile::ReadOther) ? 04 : 0;
    mode |= p.testFlag(QFile::WriteOther) ? 02 : 0;
    mode |= p.testFlag(QFile::ExeOther) ? 01 : 0;
    return mode;
}

} // namespace

ZipWriter::ZipWriter(const QString &path, Compression compression)
    : file(path), compression(compression)
{}

ZipWriter::~ZipWriter()
{
    if (writer)
        archive_write_free(writer);
}

bool ZipWriter::open()
{
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    writer = archive_write_new();
    if (!writer)
        return fail(QStringLiteral("out of memory"));
    // Names are stored as UTF-8 and flagged so; no block padding after the last entry.
    if (archive_write_set_format_zip(writer) != ARCHIVE_OK ||
        archive_write_set_options(writer, "hdrcharset=UTF-8") != ARCHIVE_OK ||
        (compression == Store ? archive_write_zip_set_compression_store(writer)
                              : archive_write_zip_set_compression_deflate(writer)) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer, 1) != ARCHIVE_OK ||
        archive_write_open(writer, &file, nullptr, writeToFile, nullptr) != ARCHIVE_OK)
        return archiveFailed(QStringLiteral("cannot start the archive"));
    return true;
}

bool ZipWriter::writeEntry(const QString &name, unsigned int type, int permissions, qint64 size,
                           qint64 modified, const QString &linkTarget)
{
    if (!writer)
        return fail(QStringLiteral("the archive is not open"));
    struct archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, name.toUtf8().constData());
    archive_entry_set_filetype(entry, type);
    archive_entry_set_perm(entry, static_cast<mode_t>(permissions));
    archive_entry_set_size(entry, size);
    archive_entry_set_mtime(entry, static_cast<time_t>(modified), 0);
    if (!linkTarget.isEmpty())
        archive_entry_set_symlink_utf8(entry, linkTarget.toUtf8().constData());
    const int status = archive_write_header(writer, entry);
    archive_entry_free(entry);
    if (status != ARCHIVE_OK)
        return archiveFailed(QStringLiteral("cannot add %1").arg(name));
    return true;
}

bool ZipWriter::addFile(const QString &name, const QByteArray &content, int permissions)
{
    if (!writeEntry(name, AE_IFREG, permissions, content.size(), 0, QString()))
        return false;
    if (!content.isEmpty() &&
        archive_write_data(writer, content.constData(), static_cast<size_t>(content.size())) < 0)
        return archiveFailed(QStringLiteral("cannot write %1").arg(name));
    return true;
}

bool ZipWriter::addFileFrom(const QString &name, const QString &sourcePath)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(sourcePath, source.errorString()));
    const QFileInfo info(source);
    if (!writeEntry(name, AE_IFREG, permissionsOf(info), source.size(),
                    info.lastModified().toSecsSinceEpoch(), QString()))
        return false;
    qint64 written = 0;
    QByteArray block(blockSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(block.data(), blockSize);
        if (n < 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(sourcePath, source.errorString()));
        if (n == 0)
            break;
        if (archive_write_data(writer, block.constData(), static_cast<size_t>(n)) < 0)
            return archiveFailed(QStringLiteral("cannot write %1").arg(name));
        written += n;
    }
    // The header promised the size seen at the start; a file that changed meanwhile would make
    // an archive whose entry does not match its own header.
    if (written != info.size())
        return fail(QStringLiteral("%1 changed while it was archived").arg(sourcePath));
    return true;
}

bool ZipWriter::addSymlink(const QString &name, const QString &target)
{
    return writeEntry(name, AE_IFLNK, 0777, 0, 0, target);
}

bool ZipWriter::close()
{
    if (!writer)
        return fail(QStringLiteral("the archive is not open"));
    const int status = archive_write_close(writer);
    archive_write_free(writer);
    writer = nullptr;
    if (status != ARCHIVE_OK)
        return fail(
            QStringLiteral("cannot finish %1: %2").arg(file.fileName(), file.errorString()));
    if (!file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    return true;
}

bool ZipWriter::fail(const QString &text)
{
    error = text;
    file.cancelWriting();
    return false;
}

bool ZipWriter::archiveFailed(const QString &what)
{
    const char *reason = writer ? archive_error_string(writer) : nullptr;
    return fail(reason ? QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(reason)) : what);
}
