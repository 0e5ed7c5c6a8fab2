#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace platform {

std::optional<FileStamp> fileStamp(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(toWide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    FileStamp stamp;
    stamp.size = (std::int64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // FILETIME counts 100 ns ticks from 1601-01-01.
    const std::int64_t ticks = (std::int64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                               data.ftLastWriteTime.dwLowDateTime;
    stamp.modifiedNs = (ticks - 116444736000000000LL) * 100;
    return stamp;
}

} // namespace platform
