// The update check's answer: the contents endpoint's JSON with version.json inside as base64.
#include "app/autoupdater.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QString problem;
    const std::optional<PublishedRelease> release =
        decodeVersionInfo(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)),
                          QStringLiteral("exe_hash_linux"), &problem);
    // Exactly one of the two outcomes.
    if (release.has_value() == !problem.isEmpty())
        __builtin_trap();
    return 0;
}
