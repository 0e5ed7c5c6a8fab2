#include "core/contentchunker.h"

#include "platform/platform.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The gear table: 256 fixed pseudo-random words (splitmix64 from a fixed seed). Changing it, or
// the masks, changes every chunk of every store.
constexpr std::array<std::uint64_t, 256> makeGear()
{
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x5761726467617465ULL;
    for (std::uint64_t &word : table) {
        state += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        word = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> gear = makeGear();

// The hash shifts left, so its top bits depend on the most bytes: the masks test those. 17 bits
// before the average size and 13 after it (FastCDC's normalisation by two) keep most chunks near
// 32 KiB.
constexpr std::uint64_t strictMask = 0xffff800000000000ULL;
constexpr std::uint64_t looseMask = 0xfff8000000000000ULL;

// Bytes read from the file at a time; a chunk never spans more than the carried-over tail.
constexpr std::size_t readSize = 4 << 20;

} // namespace

std::size_t ContentChunker::cut(const unsigned char *data, std::size_t size)
{
    if (size <= minSize)
        return size;
    const std::size_t end = size < maxSize ? size : maxSize;
    const std::size_t normal = end < averageSize ? end : averageSize;
    std::uint64_t hash = 0;
    std::size_t i = minSize;
    for (; i < normal; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if (!(hash & strictMask))
            return i + 1;
    }
    for (; i < end; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if (!(hash & looseMask))
            return i + 1;
    }
    return end;
}

bool ContentChunker::cutFile(const QString &path, const Each &each, QString *error)
{
    platform::InputFile file(path.toUtf8().toStdString());
    if (file.status() != platform::InputFile::Open) {
        if (error)
            *error = QStringLiteral("cannot open %1").arg(path);
        return false;
    }
    std::vector<unsigned char> buffer(readSize + maxSize);
    std::size_t held = 0;
    qint64 offset = 0;
    bool atEnd = false;
    for (;;) {
        // Keeps at least maxSize bytes ahead unless the file ends sooner.
        while (!atEnd && held < maxSize) {
            const std::int64_t got = file.read(buffer.data() + held, buffer.size() - held);
            if (got < 0) {
                if (error)
                    *error = QStringLiteral("cannot read %1").arg(path);
                return false;
            }
            atEnd = got == 0;
            held += std::size_t(got);
        }
        if (held == 0)
            return true;
        std::size_t start = 0;
        while (held - start >= maxSize || (atEnd && start < held)) {
            const std::size_t length = cut(buffer.data() + start, held - start);
            if (!each(offset, reinterpret_cast<const char *>(buffer.data() + start), length)) {
                if (error)
                    *error = QStringLiteral("stopped");
                return false;
            }
            offset += qint64(length);
            start += length;
        }
        std::memmove(buffer.data(), buffer.data() + start, held - start);
        held -= start;
        if (atEnd && held == 0)
            return true;
    }
}
