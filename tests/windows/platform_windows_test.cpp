// The Windows platform layer, without Qt: cross-compiled with mingw-w64 and run under Wine.
// Started with the single argument "0" (as the launcher starts the game) it plays the child:
// it records its argument in "child.txt" in its working directory, runs for
// WARDGATE_CHILD_MS milliseconds and exits with WARDGATE_CHILD_EXIT.
#include "platform/platform.h"
#include "platform/windows/wide.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int failures = 0;

void check(bool condition, const char *what, int line)
{
    if (condition)
        return;
    std::fprintf(stderr, "FAIL (line %d): %s\n", line, what);
    ++failures;
}

#define CHECK(condition) check((condition), #condition, __LINE__)

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string ownPath()
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return length ? platform::toUtf8(buffer) : std::string();
}

int runAsChild(const wchar_t *argument)
{
    std::ofstream record("child.txt");
    record << platform::toUtf8(argument);
    record.close();
    const char *ms = std::getenv("WARDGATE_CHILD_MS");
    const char *code = std::getenv("WARDGATE_CHILD_EXIT");
    Sleep(ms ? static_cast<DWORD>(std::atoi(ms)) : 0);
    return code ? std::atoi(code) : 0;
}

void setChildBehaviour(int lifetimeMs, int exitCode)
{
    SetEnvironmentVariableW(L"WARDGATE_CHILD_MS", std::to_wstring(lifetimeMs).c_str());
    SetEnvironmentVariableW(L"WARDGATE_CHILD_EXIT", std::to_wstring(exitCode).c_str());
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string makeWorkFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"wardgate-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return platform::toUtf8(folder.c_str());
}

void startWaitAndExitCode(const std::string &self, const std::string &folder)
{
    const std::string record = folder + "\\child.txt";
    DeleteFileW(platform::toWide(record).c_str());
    setChildBehaviour(1500, 42);
    const platform::StartResult started = platform::startProcess(self, "0", folder);
    CHECK(started.started);
    CHECK(started.pid > 0);
    CHECK(platform::isProcessAlive(started.pid));

    bool listed = false;
    const std::string ownName = lower(platform::fileNameOfPath(self));
    for (const platform::ProcessEntry &process : platform::listProcesses())
        listed = listed || (process.pid == started.pid && lower(process.exeName) == ownName);
    CHECK(listed);

    CHECK(platform::waitForExit(started.pid) == std::optional<int>(42));
    CHECK(!platform::isProcessAlive(started.pid));
    // The argument arrived alone, and the child ran in the folder it was given.
    CHECK(readFile(record) == "0");
    DeleteFileW(platform::toWide(record).c_str());
}

void terminateGivesZero(const std::string &self, const std::string &folder)
{
    setChildBehaviour(60000, 7);
    const platform::StartResult started = platform::startProcess(self, "0", folder);
    CHECK(started.started);
    CHECK(platform::terminateProcess(started.pid));
    CHECK(platform::waitForExit(started.pid) == std::optional<int>(0));
    CHECK(!platform::terminateProcess(started.pid) || !platform::isProcessAlive(started.pid));
}

void failuresAreReported(const std::string &folder)
{
    const platform::StartResult missing =
        platform::startProcess(folder + "\\missing.exe", "0", folder);
    CHECK(!missing.started);
    CHECK(missing.error != 0);
    for (std::int64_t pid : {std::int64_t(0), std::int64_t(-1), std::int64_t(1) << 40}) {
        CHECK(!platform::isProcessAlive(pid));
        CHECK(!platform::waitForExit(pid).has_value());
        CHECK(!platform::terminateProcess(pid));
        CHECK(platform::listModules(pid).empty());
        CHECK(platform::processImagePath(pid).empty());
    }
}

void ownModulesAndImage(const std::string &self)
{
    const std::int64_t pid = GetCurrentProcessId();
    bool sawExe = false;
    bool sawKernel = false;
    const std::string ownName = lower(platform::fileNameOfPath(self));
    for (const platform::ModuleEntry &module : platform::listModules(pid)) {
        sawExe = sawExe || (lower(module.name) == ownName && lower(module.path) == lower(self));
        sawKernel = sawKernel || lower(module.name) == "kernel32.dll";
        CHECK(lower(platform::fileNameOfPath(module.path)) == lower(module.name));
    }
    CHECK(sawExe);
    CHECK(sawKernel);

    std::string expected = self;
    std::replace(expected.begin(), expected.end(), '\\', '/');
    const std::string image = platform::processImagePath(pid);
    CHECK(lower(image) == lower(expected));
    CHECK(image.find('\\') == std::string::npos);
}

void machineIdentity()
{
    // The vendor text of CPUID function 0 is EBX, EDX, ECX as little-endian ASCII.
    const std::array<std::uint32_t, 4> registers = platform::cpuidLeaf0();
    CHECK(registers[0] > 0);
    std::string vendor;
    for (int index : {1, 3, 2})
        vendor.append(reinterpret_cast<const char *>(&registers[index]), 4);
    CHECK(std::all_of(vendor.begin(), vendor.end(), [](char c) { return c >= 0x20 && c < 0x7f; }));
    CHECK(platform::systemVolumeSerial() == platform::systemVolumeSerial());
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc == 2 && std::wcscmp(argv[1], L"0") == 0)
        return runAsChild(argv[1]);

    const std::string self = ownPath();
    const std::string folder = makeWorkFolder();
    startWaitAndExitCode(self, folder);
    terminateGivesZero(self, folder);
    failuresAreReported(folder);
    ownModulesAndImage(self);
    machineIdentity();
    RemoveDirectoryW(platform::toWide(folder).c_str());

    if (failures)
        std::fprintf(stderr, "%d check(s) failed\n", failures);
    else
        std::printf("All Windows platform checks passed\n");
    return failures ? 1 : 0;
}
