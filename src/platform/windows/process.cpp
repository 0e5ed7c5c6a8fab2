#include "platform/platform.h"

#include "platform/windows/wide.h"

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>

namespace platform {

namespace {

bool isValidPid(std::int64_t pid)
{
    return pid > 0 && pid <= static_cast<std::int64_t>(MAXDWORD);
}

HANDLE openProcess(std::int64_t pid, DWORD rights)
{
    if (!isValidPid(pid))
        return nullptr;
    return OpenProcess(rights, FALSE, static_cast<DWORD>(pid));
}

} // namespace

StartResult startProcess(const std::string &executable, const std::string &argument,
                         const std::string &workingDirectory)
{
    const std::wstring file = toWide(executable);
    const std::wstring parameters = toWide(argument);
    const std::wstring directory = toWide(workingDirectory);

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS; // hands back the process handle
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOWNORMAL;

    StartResult result;
    if (!ShellExecuteExW(&info)) {
        result.error = GetLastError();
        return result;
    }
    result.started = true;
    if (info.hProcess) {
        result.pid = GetProcessId(info.hProcess);
        CloseHandle(info.hProcess);
    }
    return result;
}

// The open file, shared for reading only, keeps the path naming the bytes that were read through
// it until the shell has opened it to start it.
StartResult startProcess(const InputFile &program, const std::string &executable,
                         const std::string &argument, const std::string &workingDirectory)
{
    if (program.status() != InputFile::Open) {
        StartResult result;
        result.error = ERROR_INVALID_HANDLE;
        return result;
    }
    return startProcess(executable, argument, workingDirectory);
}

std::optional<int> waitForExit(std::int64_t pid)
{
    HANDLE process = openProcess(pid, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION);
    if (!process)
        return std::nullopt;
    // Only a process that has really ended has an exit code; after a failed wait the code
    // would read STILL_ACTIVE (259).
    DWORD exitCode = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    if (!ended)
        return std::nullopt;
    return static_cast<int>(exitCode);
}

bool isProcessAlive(std::int64_t pid)
{
    HANDLE process = openProcess(pid, SYNCHRONIZE);
    if (!process)
        return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

bool terminateProcess(std::int64_t pid)
{
    HANDLE process = openProcess(pid, PROCESS_TERMINATE);
    if (!process)
        return false;
    const bool terminated = TerminateProcess(process, 0) != FALSE;
    CloseHandle(process);
    return terminated;
}

std::vector<ProcessEntry> listProcesses()
{
    std::vector<ProcessEntry> processes;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return processes;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        ProcessEntry process;
        process.pid = entry.th32ProcessID;
        process.exeName = toUtf8(entry.szExeFile);
        processes.push_back(std::move(process));
    }
    CloseHandle(snapshot);
    return processes;
}

std::vector<ModuleEntry> listModules(std::int64_t pid)
{
    std::vector<ModuleEntry> modules;
    if (!isValidPid(pid))
        return modules;
    // Both flags, so that the modules of 32-bit clients are listed too.
    HANDLE snapshot =
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, static_cast<DWORD>(pid));
    if (snapshot == INVALID_HANDLE_VALUE)
        return modules;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot, &entry); more;
         more = Module32NextW(snapshot, &entry)) {
        ModuleEntry module;
        module.name = toUtf8(entry.szModule);
        module.path = toUtf8(entry.szExePath);
        modules.push_back(std::move(module));
    }
    CloseHandle(snapshot);
    return modules;
}

std::string processImagePath(std::int64_t pid)
{
    HANDLE process = openProcess(pid, PROCESS_QUERY_LIMITED_INFORMATION);
    if (!process)
        return std::string();
    wchar_t buffer[MAX_PATH];
    DWORD size = MAX_PATH;
    const BOOL queried = QueryFullProcessImageNameW(process, 0, buffer, &size);
    CloseHandle(process);
    if (!queried)
        return std::string();
    std::string path = toUtf8(buffer);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

} // namespace platform
