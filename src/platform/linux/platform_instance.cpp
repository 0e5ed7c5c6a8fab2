#include "platform/platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

bool acquireSingleInstance(const std::string &name)
{
    const char *runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    const char *tempDir = std::getenv("TMPDIR");
    std::string dir =
        runtimeDir && *runtimeDir ? runtimeDir : (tempDir && *tempDir ? tempDir : "/tmp");
    const std::string path = dir + "/" + name + ".lock";

    // The descriptor stays open for the life of the process; the kernel drops the lock at exit.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true; // cannot tell: let this instance run rather than refuse to start at all
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return true;
}

bool activateWindowByTitle(const std::string &)
{
    return false;
}

bool isDebuggerPresent()
{
    std::ifstream status("/proc/self/status");
    std::stringstream text;
    text << status.rdbuf();
    return parseTracerPid(text.str()) != 0;
}

} // namespace platform
