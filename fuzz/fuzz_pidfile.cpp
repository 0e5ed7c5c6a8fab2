// The saved game PID file, which anything on the machine may have written.
#include "game/gamelauncher.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    GameLauncher::parsePid(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
