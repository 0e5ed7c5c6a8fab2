#include "platform/platform.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

FileStamp stampOf(const struct stat &info)
{
    FileStamp stamp;
    stamp.size = info.st_size;
    stamp.modifiedNs = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.device = std::uint64_t(info.st_dev);
    stamp.inode = std::uint64_t(info.st_ino);
    stamp.changedNs = std::int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
}

} // namespace

std::optional<FileStamp> fileStamp(const std::string &path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return stampOf(info);
}

bool replaceFile(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

InputFile::InputFile(const std::string &path, Sharing)
{
    // Not blocked by a named pipe where a file was expected; regular files ignore the flag.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        state = errno == ENOENT || errno == ENOTDIR ? Missing : Failed;
        return;
    }
    handle = fd;
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return;
    if (!S_ISREG(info.st_mode)) {
        state = Missing;
        return;
    }
    opened = stampOf(info);
    state = Open;
}

InputFile::~InputFile()
{
    if (handle >= 0)
        ::close(int(handle));
}

std::int64_t InputFile::read(void *buffer, std::size_t size)
{
    if (state != Open)
        return -1;
    for (;;) {
        const ssize_t count = ::read(int(handle), buffer, size);
        if (count >= 0 || errno != EINTR)
            return count;
    }
}

} // namespace platform
