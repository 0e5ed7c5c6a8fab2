#include "core/chunkcodec.h"

#include <zstd.h>

namespace chunkcodec {

QByteArray compress(const char *data, std::size_t size, int level)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size)), Qt::Uninitialized);
    const std::size_t written =
        ZSTD_compress(out.data(), std::size_t(out.size()), data, size, level);
    if (ZSTD_isError(written) || written >= size)
        return {};
    out.resize(qsizetype(written));
    return out;
}

bool expand(const QByteArray &stored, qint64 size, QByteArray &out, QString *why)
{
    if (stored.size() == size) {
        out = stored;
        return true;
    }
    if (stored.size() > size) {
        *why = QStringLiteral("stored as %1 bytes for a chunk of %2").arg(stored.size()).arg(size);
        return false;
    }
    // One frame whose header names exactly this size; decoded into a buffer of exactly that
    // size, so a frame that claims or makes more stops at the bound.
    const unsigned long long declared = ZSTD_getFrameContentSize(stored.constData(), stored.size());
    if (declared != (unsigned long long)size ||
        ZSTD_findFrameCompressedSize(stored.constData(), stored.size()) !=
            std::size_t(stored.size())) {
        *why = QStringLiteral("not one zstd frame of %1 bytes").arg(size);
        return false;
    }
    out.resize(qsizetype(size));
    const std::size_t made =
        ZSTD_decompress(out.data(), std::size_t(size), stored.constData(), stored.size());
    if (ZSTD_isError(made) || made != std::size_t(size)) {
        *why = ZSTD_isError(made) ? QString::fromLatin1(ZSTD_getErrorName(made))
                                  : QStringLiteral("%1 bytes instead of %2").arg(made).arg(size);
        out.clear();
        return false;
    }
    return true;
}

} // namespace chunkcodec
