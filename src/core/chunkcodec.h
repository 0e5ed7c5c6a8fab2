#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// A stored chunk: zstd where that made it smaller, the plain bytes otherwise. A stored size
// below the chunk's own size therefore means zstd; the same size means plain.
namespace chunkcodec {

// zstd at `level` of the bytes when that is smaller than they are; empty otherwise (the chunk
// is then stored plain).
QByteArray compress(const char *data, std::size_t size, int level = 3);

// The chunk's own bytes from `stored`, which must give exactly `size` bytes: a frame that would
// inflate past it is stopped at that bound, never expanded. False, with `why` set, otherwise.
bool expand(const QByteArray &stored, qint64 size, QByteArray &out, QString *why);

} // namespace chunkcodec
