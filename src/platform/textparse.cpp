// Parsers of operating-system text that both implementations share, kept apart so they can be
// tested and fuzzed on any machine.
#include "platform/platform.h"

#include <cstdlib>
#include <sstream>

namespace platform {

std::int64_t parseTracerPid(const std::string &statusText)
{
    std::istringstream lines(statusText);
    std::string line;
    static const std::string key = "TracerPid:";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        const char *digits = line.c_str() + key.size();
        char *end = nullptr;
        const long long value = std::strtoll(digits, &end, 10);
        return end == digits ? 0 : value;
    }
    return 0;
}

} // namespace platform
