// Parsers of operating-system text that both implementations share, kept apart so they can be
// tested and fuzzed on any machine.
#include "platform/platform.h"

#include <cstdlib>
#include <sstream>
#include <unordered_set>

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

std::vector<std::string> parseMappedFiles(const std::string &mapsText)
{
    // "address perms offset dev inode   path": the path is everything after the fifth field and
    // may itself contain spaces.
    static const std::string deletedMark = " (deleted)";
    std::vector<std::string> files;
    std::unordered_set<std::string> seen;
    std::istringstream lines(mapsText);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t position = 0;
        for (int field = 0; field < 5 && position != std::string::npos; ++field) {
            position = line.find_first_not_of(' ', position);
            if (position != std::string::npos)
                position = line.find(' ', position);
        }
        if (position == std::string::npos)
            continue;
        position = line.find_first_not_of(' ', position);
        if (position == std::string::npos || line[position] != '/')
            continue;
        std::string path = line.substr(position);
        if (path.size() > deletedMark.size() &&
            path.compare(path.size() - deletedMark.size(), deletedMark.size(), deletedMark) == 0)
            path.resize(path.size() - deletedMark.size());
        if (seen.insert(path).second)
            files.push_back(std::move(path));
    }
    return files;
}

std::string fileNameOfPath(const std::string &path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace platform
