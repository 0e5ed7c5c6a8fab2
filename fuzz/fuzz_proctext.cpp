// The Linux platform layer's readings of /proc text: a status file's TracerPid and a maps file's
// mapped paths. The first byte chooses the parser.
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1) {
        platform::parseTracerPid(text);
    } else {
        for (const std::string &path : platform::parseMappedFiles(text)) {
            if (path.empty() || path.front() != '/')
                __builtin_trap();
            platform::fileNameOfPath(path);
        }
    }
    return 0;
}
