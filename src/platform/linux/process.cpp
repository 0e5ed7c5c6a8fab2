#include "platform/platform.h"

#include "platform/linux/pidfdfallback.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

extern char **environ;

#ifndef P_PIDFD
#define P_PIDFD static_cast<idtype_t>(3)
#endif

namespace platform {

namespace {

// Pids this process killed and whose end has not been collected yet: their watcher reports 0,
// as the Windows side does for TerminateProcess(h, 0).
std::mutex terminatedMutex;
std::unordered_set<pid_t> terminatedPids;

bool isValidPid(std::int64_t pid)
{
    // 0 and negative values would address process groups in kill(); never let them through.
    return pid > 0 && pid <= INT_MAX;
}

std::atomic<bool> pidfdUsable{true};

// -1 with errno ENOSYS where the kernel has no pidfds.
int openPidfd(std::int64_t pid)
{
    if (!isValidPid(pid)) {
        errno = EINVAL;
        return -1;
    }
    if (!pidfdUsable.load()) {
        errno = ENOSYS;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

// A pidfd polls readable once its process has ended (a zombie included).
bool hasEnded(int pidfd, int timeoutMs)
{
    pollfd entry{pidfd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

bool takeTerminated(pid_t pid)
{
    std::lock_guard<std::mutex> lock(terminatedMutex);
    return terminatedPids.erase(pid) > 0;
}

std::string readWholeFile(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Without a pidfd: the process exists (ours to signal or not) and is no zombie.
bool aliveWithoutPidfd(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return false;
    // "pid (name) S ...": the state follows the name's closing parenthesis.
    const std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

std::string readLink(const std::string &path)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0)
        return std::string();
    target.resize(static_cast<std::size_t>(length));
    return target;
}

std::string procPath(std::int64_t pid, const char *entry)
{
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// A session of its own, so the child outlives the launcher and its terminal, and a clean signal
// state instead of whatever the launcher's thread had.
void detach(posix_spawnattr_t &attributes)
{
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

} // namespace

StartResult startProcess(const std::string &executable, const std::string &argument,
                         const std::string &workingDirectory)
{
    StartResult result;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);

    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    detach(attributes);

    std::string program = executable;
    std::string parameter = argument;
    char *argv[] = {program.data(), parameter.data(), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, environ);

    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);

    if (error != 0) {
        result.error = static_cast<std::uint32_t>(error);
        return result;
    }
    result.started = true;
    result.pid = pid;
    return result;
}

StartResult startProcess(const InputFile &program, const std::string &executable,
                         const std::string &argument, const std::string &workingDirectory)
{
    StartResult result;
    const std::optional<FileStamp> opened = program.stamp();
    if (!opened) {
        result.error = EBADF;
        return result;
    }
    const int fd = int(program.nativeHandle());
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    // The same number again clears close-on-exec for the child alone: a script's interpreter
    // reads the script by this name once the kernel has handed it over.
    posix_spawn_file_actions_adddup2(&actions, fd, fd);
    detach(attributes);

    std::string name = executable;
    std::string parameter = argument;
    char *argv[] = {name.data(), parameter.data(), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, self.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        result.error = static_cast<std::uint32_t>(error);
        return result;
    }
    // posix_spawn returns once the program has replaced the child. A write to the file between
    // its check and here moved its modification time, or, where that was set back, its status
    // time, which no program can set back. A file renamed over this one's name moved the status
    // time too (the held file lost its name), but what started is still the held file.
    struct stat now;
    bool written = ::fstat(fd, &now) != 0;
    if (!written) {
        const std::int64_t modified =
            std::int64_t(now.st_mtim.tv_sec) * 1000000000 + now.st_mtim.tv_nsec;
        const std::int64_t changed =
            std::int64_t(now.st_ctim.tv_sec) * 1000000000 + now.st_ctim.tv_nsec;
        written = now.st_size != opened->size || modified != opened->modifiedNs ||
                  (now.st_nlink > 0 && changed != opened->changedNs);
    }
    if (written) {
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.changed = true;
        return result;
    }
    result.started = true;
    result.pid = pid;
    return result;
}

bool startUpdateScript(const std::string &scriptPath)
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    detach(attributes);
    std::string shell = "/bin/sh";
    std::string script = scriptPath;
    char *argv[] = {shell.data(), script.data(), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, shell.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return error == 0;
}

void setPidfdUsable(bool usable)
{
    pidfdUsable = usable;
}

namespace {

std::optional<int> waitForExitWithoutPidfd(pid_t pid)
{
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    const bool endedByUs = takeTerminated(pid);
    if (waited < 0) {
        if (errno != ECHILD || !aliveWithoutPidfd(pid))
            return std::nullopt;
        // Not our child: looked at until it has gone; the system keeps its exit code from us.
        while (aliveWithoutPidfd(pid))
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return 0;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (endedByUs && WTERMSIG(status) == SIGKILL)
        return 0;
    return 128 + WTERMSIG(status);
}

} // namespace

std::optional<int> waitForExit(std::int64_t pid)
{
    const int pidfd = openPidfd(pid);
    if (pidfd < 0 && errno == ENOSYS)
        return waitForExitWithoutPidfd(static_cast<pid_t>(pid));
    if (pidfd < 0)
        return std::nullopt;
    hasEnded(pidfd, -1);

    siginfo_t info{};
    int waited;
    do {
        waited = ::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED);
    } while (waited < 0 && errno == EINTR);
    ::close(pidfd);

    const bool endedByUs = takeTerminated(static_cast<pid_t>(pid));
    if (waited < 0)
        return 0; // not our child: the system keeps its exit code from us
    if (info.si_code == CLD_EXITED)
        return info.si_status;
    if (endedByUs && info.si_status == SIGKILL)
        return 0;
    return 128 + info.si_status;
}

bool isProcessAlive(std::int64_t pid)
{
    const int pidfd = openPidfd(pid);
    if (pidfd < 0 && errno == ENOSYS)
        return aliveWithoutPidfd(static_cast<pid_t>(pid));
    if (pidfd < 0)
        return false;
    const bool ended = hasEnded(pidfd, 0);
    ::close(pidfd);
    return !ended;
}

bool terminateProcess(std::int64_t pid)
{
    if (!isValidPid(pid))
        return false;
    const pid_t target = static_cast<pid_t>(pid);
    {
        std::lock_guard<std::mutex> lock(terminatedMutex);
        terminatedPids.insert(target);
    }
    if (::kill(target, SIGKILL) == 0)
        return true;
    takeTerminated(target);
    return false;
}

std::vector<ProcessEntry> listProcesses()
{
    std::vector<ProcessEntry> processes;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return processes;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long long pid = std::strtoll(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        ProcessEntry process;
        process.pid = pid;
        process.exeName = fileNameOfPath(readLink(procPath(pid, "exe")));
        if (process.exeName.empty()) {
            // Kernel threads and processes of other users: their name is all we may read.
            process.exeName = readWholeFile(procPath(pid, "comm"));
            if (!process.exeName.empty() && process.exeName.back() == '\n')
                process.exeName.pop_back();
        }
        processes.push_back(std::move(process));
    }
    ::closedir(proc);
    std::sort(processes.begin(), processes.end(),
              [](const ProcessEntry &a, const ProcessEntry &b) { return a.pid < b.pid; });
    return processes;
}

std::vector<ModuleEntry> listModules(std::int64_t pid)
{
    std::vector<ModuleEntry> modules;
    if (!isValidPid(pid))
        return modules;
    for (std::string &path : parseMappedFiles(readWholeFile(procPath(pid, "maps")))) {
        ModuleEntry module;
        module.name = fileNameOfPath(path);
        module.path = std::move(path);
        modules.push_back(std::move(module));
    }
    return modules;
}

std::string processImagePath(std::int64_t pid)
{
    if (!isValidPid(pid))
        return std::string();
    return readLink(procPath(pid, "exe"));
}

} // namespace platform
