#pragma once

#include <QString>

#include <cstddef>
#include <functional>

// Cuts bytes into content-defined chunks (FastCDC: a gear hash over the bytes, with a stricter
// mask before the average size and a looser one after it), so that an insertion or a cut moves
// the boundaries only around itself and the rest of a changed file cuts into the same chunks as
// before. The operators' tool and the launcher cut with this one class: the same bytes give the
// same chunks on both sides.
//
// Sizes: 8 KiB to 128 KiB, 32 KiB on average (some 40 KiB as cut). Measured on a 200 MiB package
// with a region rewritten, an insertion and a cut: 64 KiB on average fetched 2.80 MB of chunks,
// 32 KiB 2.33 MB, for a chunk list twice as long (about 100 bytes of manifest a chunk) and twice
// the requests, which ride a few connections several at a time. 128 KiB bounds what one chunk
// costs in memory and in a refetch.
class ContentChunker
{
public:
    static constexpr std::size_t minSize = 8 * 1024;
    static constexpr std::size_t averageSize = 32 * 1024;
    static constexpr std::size_t maxSize = 128 * 1024;

    // The length of the first chunk of `data`: `size` is either everything that is left of the
    // input or at least maxSize.
    static std::size_t cut(const unsigned char *data, std::size_t size);

    // Reads the file at `path` once and calls `each` with every chunk in order (its offset, its
    // bytes, valid only during the call). False, with `error` set, when the file cannot be read
    // or `each` returned false.
    using Each = std::function<bool(qint64 offset, const char *data, std::size_t size)>;
    static bool cutFile(const QString &path, const Each &each, QString *error = nullptr);
};
