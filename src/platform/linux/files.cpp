#include "platform/platform.h"

#include <sys/stat.h>

namespace platform {

std::optional<FileStamp> fileStamp(const std::string &path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    FileStamp stamp;
    stamp.size = info.st_size;
    stamp.modifiedNs = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

} // namespace platform
