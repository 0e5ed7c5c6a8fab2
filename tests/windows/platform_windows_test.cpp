// The Windows platform layer, without Qt: cross-compiled with mingw-w64 and run under Wine,
// with the launcher's resources linked in. It plays its own child processes too:
// - with the single argument "0" (as the launcher starts the game) it records its argument in
//   "child.txt" in its working directory, runs for WARDGATE_CHILD_MS milliseconds and exits with
//   WARDGATE_CHILD_EXIT;
// - with "second" it is a second launcher: exit code 0 when the instance WARDGATE_INSTANCE is
//   taken already and, with WARDGATE_TITLE set, the window of that title was brought back;
// - with "window" it checks only that a second launcher restores the first one's window;
// - with "signature <folder>" it checks only the signature check, against the vectors that
//   tests/platform/make-signature-vectors wrote into that folder;
// - with WARDGATE_STARTED_MARK set (as the update script starts the new launcher) it writes its
//   own path into that file.
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
#include <vector>

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

std::string readWideFile(const std::wstring &path)
{
    std::string text;
    if (FILE *file = _wfopen(path.c_str(), L"rb")) {
        char block[4096];
        for (std::size_t read; (read = std::fread(block, 1, sizeof(block), file)) > 0;)
            text.append(block, read);
        std::fclose(file);
    }
    return text;
}

bool writeWideFile(const std::wstring &path, const std::string &text)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int markStarted(const wchar_t *mark)
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return writeWideFile(mark, platform::toUtf8(std::wstring(buffer, length).c_str())) ? 0 : 1;
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

int runAsSecondInstance()
{
    const bool refused = !platform::acquireSingleInstance(std::getenv("WARDGATE_INSTANCE"));
    const char *title = std::getenv("WARDGATE_TITLE");
    const bool activated = !title || platform::activateWindowByTitle(title);
    return (refused ? 0 : 1) | (activated ? 0 : 2);
}

// Starts the second launcher and returns its exit code, handling this thread's window messages
// meanwhile: restoring a window waits for the thread that owns it.
DWORD runSecondInstance(const std::string &self, const std::string &folder)
{
    const platform::StartResult second = platform::startProcess(self, "second", folder);
    CHECK(second.started);
    DWORD exitCode = 255;
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     static_cast<DWORD>(second.pid))) {
        while (MsgWaitForMultipleObjects(1, &process, FALSE, 30000, QS_ALLINPUT) ==
               WAIT_OBJECT_0 + 1) {
            for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
                DispatchMessageW(&message);
        }
        GetExitCodeProcess(process, &exitCode);
        CloseHandle(process);
    }
    return exitCode;
}

// The single-instance rule across processes: while this process holds the instance, a second
// start is refused.
void secondInstanceIsRefused(const std::string &self, const std::string &folder)
{
    const std::string name = "Wardgate_Test_" + std::to_string(GetCurrentProcessId());
    CHECK(platform::acquireSingleInstance(name));
    SetEnvironmentVariableW(L"WARDGATE_INSTANCE", platform::toWide(name).c_str());
    CHECK(runSecondInstance(self, folder) == 0);
    CHECK(!platform::activateWindowByTitle("Wardgate test window that nobody opened"));
}

// ... and it restores the first one's minimised window. Run alone, in a Wine prefix with the
// null display driver: without any driver Wine creates no window, and with one a failed
// ShellExecuteExW (checked in the main run) would wait on an unseen dialog.
void secondInstanceRestoresWindow(const std::string &self, const std::string &folder)
{
    const std::string name = "Wardgate_Test_" + std::to_string(GetCurrentProcessId());
    const std::string title = "Wardgate test window " + std::to_string(GetCurrentProcessId());
    CHECK(platform::acquireSingleInstance(name));
    HWND window =
        CreateWindowExW(0, L"STATIC", platform::toWide(title).c_str(), WS_OVERLAPPEDWINDOW, 0, 0,
                        200, 100, nullptr, nullptr, nullptr, nullptr);
    CHECK(window != nullptr);
    ShowWindow(window, SW_MINIMIZE);
    CHECK(IsIconic(window));
    SetEnvironmentVariableW(L"WARDGATE_INSTANCE", platform::toWide(name).c_str());
    SetEnvironmentVariableW(L"WARDGATE_TITLE", platform::toWide(title).c_str());
    CHECK(runSecondInstance(self, folder) == 0);
    CHECK(!IsIconic(window));
    DestroyWindow(window);
}

// The real update script under cmd.exe, in a folder whose name no single code page holds and
// whose "(" breaks a singly quoted cmd.exe /c. Wine's tasklist lists nothing, so the launcher
// it waits for has ended already: the wait itself is covered by the shell twin on Linux.
void updateScriptSwapsInAnyFolder(const std::string &self, const std::string &work)
{
    const std::wstring folder = platform::toWide(work) + L"\\wg caf\u00e9 \u0141ukasz "
                                                         L"\u30b2\u30fc\u30e0 (x86) & more";
    const std::wstring exe = folder + L"\\Wardgate.exe";
    const std::wstring newExe = exe + L".new";
    const std::wstring script = folder + L"\\update.bat";
    const std::wstring mark = folder + L"\\started.txt";
    // Wine hands out the same few process ids again, so a failed earlier run may have left it.
    CHECK(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    DeleteFileW((exe + L".old").c_str());
    DeleteFileW(mark.c_str());
    CHECK(writeWideFile(exe, "old launcher"));
    CHECK(CopyFileW(platform::toWide(self).c_str(), newExe.c_str(), FALSE));

    setChildBehaviour(0, 0);
    const platform::StartResult ended = platform::startProcess(self, "0", work);
    CHECK(platform::waitForExit(ended.pid).has_value());
    const std::string text =
        platform::batchUpdateScript(ended.pid, "Wardgate.exe", "Wardgate.exe.new");
    CHECK(writeWideFile(script, text));

    SetEnvironmentVariableW(L"WARDGATE_STARTED_MARK", mark.c_str());
    CHECK(platform::startUpdateScript(platform::toUtf8(script.c_str())));
    SetEnvironmentVariableW(L"WARDGATE_STARTED_MARK", nullptr);
    for (int waited = 0; waited < 600 && !(exists(mark) && !exists(script)); ++waited)
        Sleep(100);

    // The new launcher started from its place, the old one is beside it, the script is gone.
    CHECK(lower(readWideFile(mark)) == lower(platform::toUtf8(exe.c_str())));
    CHECK(!exists(script));
    CHECK(!exists(newExe));
    CHECK(readWideFile(exe + L".old") == "old launcher");
    CHECK(readWideFile(exe) == readWideFile(platform::toWide(self)));
    for (const std::wstring &file : {exe, exe + L".old", mark})
        DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The file digest through CNG, against published SHA-256 values, fed in uneven pieces and
// reused after a reset.
void digestKnownValues()
{
    struct Case
    {
        std::string input;
        std::size_t piece;
        const char *digest;
    };
    const Case cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 65537,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    platform::Sha256 hash;
    for (const Case &c : cases) {
        hash.reset();
        for (std::size_t at = 0; at < c.input.size(); at += c.piece)
            hash.add(c.input.data() + at, std::min(c.piece, c.input.size() - at));
        CHECK(hash.hexResult() == c.digest);
    }
    // A finished digest is spent until the next reset.
    hash.add("abc", 3);
    CHECK(hash.hexResult().empty());
}

// The file reader the scans use: the bytes and the stamp of a file (in a folder whose name needs
// UTF-8), a missing file, and a folder where a file was expected.
void inputFileReadsAndRefuses(const std::string &folder)
{
    const std::string dir = folder + "/d\xc3\xa9j\xc3\xa0";
    const std::string name = dir + "/data.bin";
    CreateDirectoryW(platform::toWide(dir).c_str(), nullptr);
    CHECK(writeWideFile(platform::toWide(name), std::string(70000, 'x')));
    {
        platform::InputFile file(name);
        CHECK(file.status() == platform::InputFile::Open);
        const auto stamp = file.stamp();
        const auto byName = platform::fileStamp(name);
        CHECK(stamp && byName && stamp->size == 70000 && stamp->modifiedNs == byName->modifiedNs);
        std::vector<char> buffer(65536);
        std::int64_t total = 0;
        for (std::int64_t count; (count = file.read(buffer.data(), buffer.size())) > 0;)
            total += count;
        CHECK(total == 70000);
    }
    CHECK(platform::InputFile(dir + "/absent.bin").status() == platform::InputFile::Missing);
    CHECK(platform::InputFile(dir + "/no/such.bin").status() == platform::InputFile::Missing);
    CHECK(platform::InputFile(dir).status() == platform::InputFile::Missing);
    DeleteFileW(platform::toWide(name).c_str());
    RemoveDirectoryW(platform::toWide(dir).c_str());
}

// A program held open read-only from its check to its start: nobody can write it, rename another
// file over it or delete it meanwhile, and what starts is the file held.
void heldProgramCannotBeSwapped(const std::string &self, const std::string &folder)
{
    const std::string held = folder + "\\held.exe";
    const std::wstring heldWide = platform::toWide(held);
    const std::wstring other = platform::toWide(folder + "\\other.exe");
    CHECK(CopyFileW(platform::toWide(self).c_str(), heldWide.c_str(), FALSE));
    CHECK(writeWideFile(other, "not a program"));
    const std::string record = folder + "\\child.txt";
    DeleteFileW(platform::toWide(record).c_str());
    {
        platform::InputFile program(held, platform::InputFile::ReadOnly);
        CHECK(program.status() == platform::InputFile::Open);
        char first[2] = {};
        CHECK(program.read(first, 2) == 2 && first[0] == 'M' && first[1] == 'Z');

        const HANDLE writer = CreateFileW(heldWide.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        CHECK(writer == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION);
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);
        CHECK(!MoveFileExW(other.c_str(), heldWide.c_str(), MOVEFILE_REPLACE_EXISTING));
        CHECK(!platform::replaceFile(folder + "\\other.exe", held));
        CHECK(!DeleteFileW(heldWide.c_str()));
        // Others may still read it, as the shell does to start it.
        CHECK(platform::InputFile(held).status() == platform::InputFile::Open);

        setChildBehaviour(0, 5);
        const platform::StartResult started = platform::startProcess(program, held, "0", folder);
        CHECK(started.started && !started.changed);
        CHECK(platform::waitForExit(started.pid) == std::optional<int>(5));
        CHECK(readFile(record) == "0");
    }
    // Closed, the file is anyone's again.
    CHECK(MoveFileExW(other.c_str(), heldWide.c_str(), MOVEFILE_REPLACE_EXISTING));
    CHECK(readWideFile(heldWide) == "not a program");
    CHECK(DeleteFileW(heldWide.c_str()));
    DeleteFileW(platform::toWide(record).c_str());
}

// The executable's resources, linked into this program as into the launcher: the version from
// the project's one number, the icon, and a manifest with the settings the launcher relies on.
void ownResources(const std::string &self)
{
    const std::wstring path = platform::toWide(self);
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    CHECK(!info.empty() &&
          GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    std::string fixedVersion;
    if (!info.empty() &&
        VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &size))
        fixedVersion = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                       std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                       std::to_string(HIWORD(fixed->dwFileVersionLS));
    CHECK(fixedVersion == WARDGATE_VERSION);
    for (const wchar_t *key : {L"\\StringFileInfo\\040904B0\\FileVersion",
                               L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
        wchar_t *text = nullptr;
        const bool found = !info.empty() && VerQueryValueW(info.data(), key,
                                                           reinterpret_cast<void **>(&text), &size);
        CHECK(found && platform::toUtf8(text) == WARDGATE_VERSION);
    }

    CHECK(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1)) != nullptr);

    std::string manifest;
    if (HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)))
        manifest.assign(static_cast<const char *>(LockResource(LoadResource(nullptr, found))),
                        SizeofResource(nullptr, found));
    for (const char *setting :
         {"<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
          "PerMonitorV2</dpiAwareness>",
          "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true"
          "</longPathAware>",
          "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
          "<requestedExecutionLevel level=\"asInvoker\""})
        CHECK(manifest.find(setting) != std::string::npos);
}

// The CNG side of the signature check, against vectors made by the openssl command.
void signatureVectors(const std::string &folder)
{
    // Binary: a text stream would turn the data's CR LF into LF.
    const auto file = [&folder](const char *name) {
        std::ifstream stream(folder + "/" + name, std::ios::binary);
        std::ostringstream bytes;
        bytes << stream.rdbuf();
        return bytes.str();
    };
    const platform::PublicKeyList ours = platform::readP256PublicKeys(file("pub.pem"));
    const platform::PublicKeyList other = platform::readP256PublicKeys(file("other.pem"));
    const platform::PublicKeyList p384 = platform::readP256PublicKeys(file("p384.pem"));
    CHECK(ours.keys.size() == 1 && other.keys.size() == 1);
    CHECK(p384.keys.empty() && !p384.skipped.empty());
    if (ours.keys.size() != 1 || other.keys.size() != 1)
        return;
    const platform::P256PublicKey &key = ours.keys.front();
    std::string data = file("data.bin");
    std::string signature = file("data.sig");
    CHECK(!data.empty() && !signature.empty());
    const auto verify = [&key](const std::string &bytes, const std::string &sig) {
        return platform::verifyP256Signature(key, bytes.data(), bytes.size(), sig);
    };
    CHECK(verify(data, signature));
    CHECK(!platform::verifyP256Signature(other.keys.front(), data.data(), data.size(), signature));
    CHECK(!verify(data, file("p384.sig")));
    std::string flippedData = data;
    flippedData[500] ^= 0x10;
    CHECK(!verify(flippedData, signature));
    std::string flippedSignature = signature;
    flippedSignature.back() ^= 0x08;
    CHECK(!verify(data, flippedSignature));
    CHECK(!verify(data, std::string()));
}

int report()
{
    if (failures)
        std::fprintf(stderr, "%d check(s) failed\n", failures);
    else
        std::printf("All Windows platform checks passed\n");
    return failures ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc == 2 && std::wcscmp(argv[1], L"0") == 0)
        return runAsChild(argv[1]);
    if (argc == 2 && std::wcscmp(argv[1], L"second") == 0)
        return runAsSecondInstance();
    if (const wchar_t *mark = _wgetenv(L"WARDGATE_STARTED_MARK"))
        return markStarted(mark);

    if (argc == 3 && std::wcscmp(argv[1], L"signature") == 0) {
        signatureVectors(platform::toUtf8(argv[2]));
        return report();
    }
    const std::string self = ownPath();
    const std::string folder = makeWorkFolder();
    if (argc == 2 && std::wcscmp(argv[1], L"window") == 0) {
        secondInstanceRestoresWindow(self, folder);
        RemoveDirectoryW(platform::toWide(folder).c_str());
        return report();
    }
    startWaitAndExitCode(self, folder);
    terminateGivesZero(self, folder);
    failuresAreReported(folder);
    ownModulesAndImage(self);
    machineIdentity();
    ownResources(self);
    digestKnownValues();
    inputFileReadsAndRefuses(folder);
    heldProgramCannotBeSwapped(self, folder);
    secondInstanceIsRefused(self, folder);
    updateScriptSwapsInAnyFolder(self, folder);
    RemoveDirectoryW(platform::toWide(folder).c_str());

    return report();
}
