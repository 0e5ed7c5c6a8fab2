#pragma once

// The operating-system calls the launcher needs, as plain C++17 (no Qt types), so the Windows
// implementation also builds with mingw-w64. Exactly one implementation is compiled per OS:
// platform/linux/*.cpp or platform/windows/*.cpp. Strings are UTF-8.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// ---- Single instance and debugger -------------------------------------------------------------

// Claims the process-wide instance lock called `name` and holds it until the process exits.
// Returns false when another process holds it already. Windows: a named mutex; Linux: flock on
// "<name>.lock" in $XDG_RUNTIME_DIR (else the temp folder).
bool acquireSingleInstance(const std::string &name);

// Windows: finds the top-level window with this exact title, restores it and brings it to the
// foreground; returns whether one was found. Linux: returns false, the running instance is
// reached through its local socket instead.
bool activateWindowByTitle(const std::string &title);

// True when a debugger is attached to this process.
bool isDebuggerPresent();

// The "TracerPid:" value of a /proc/<pid>/status text; 0 when absent or unreadable.
std::int64_t parseTracerPid(const std::string &statusText);

// ---- Processes ---------------------------------------------------------------------------------

struct StartResult
{
    bool started = false;
    // Id of the started process; 0 when the system started it without handing back a process.
    std::int64_t pid = 0;
    // The system's error code when nothing was started.
    std::uint32_t error = 0;
    // The program was written between its opening and its start: what started was ended at
    // once, and nothing runs.
    bool changed = false;
};

// Starts `executable` detached from this process with the single command-line argument
// `argument`, in `workingDirectory`. Windows: ShellExecuteExW "open"; Linux: posix_spawn in a
// session of its own.
StartResult startProcess(const std::string &executable, const std::string &argument,
                         const std::string &workingDirectory);

class InputFile;

// Starts, as startProcess does, the program that `program` holds open (opened from `executable`
// with InputFile::ReadOnly and read to check it), so that what starts is what was checked, not
// whatever the path names by now. Windows: `executable` by its path, which the open file keeps
// from being written, replaced or deleted. Linux: the open file itself (through /proc/self/fd,
// left open in the program for a script's interpreter), and a file written since it was opened
// (its size, its modification time, or while it keeps its name its status time moved) is ended
// at once and reported as `changed`.
StartResult startProcess(const InputFile &program, const std::string &executable,
                         const std::string &argument, const std::string &workingDirectory);

// Blocks until the process ends and returns its exit code. Empty when the process cannot be
// opened for waiting (it does not exist, or access is denied) or the wait itself fails. The code is
// 0 when the system does not tell it: a process that is not our child on Linux, or one ended by
// terminateProcess. A child killed by any other signal gives 128 + the signal number.
std::optional<int> waitForExit(std::int64_t pid);

// True while the process exists and has not ended; a process that cannot be opened counts as
// ended, and so does a zombie.
bool isProcessAlive(std::int64_t pid);

// Ends the process at once with exit code 0 (Linux: SIGKILL, reported as 0 by waitForExit).
// False when the process cannot be opened for termination.
bool terminateProcess(std::int64_t pid);

struct ProcessEntry
{
    std::int64_t pid = 0;
    // File name of the executable, without its folder.
    std::string exeName;
};

// Every process of the system, in the system's order; empty when the list cannot be taken.
std::vector<ProcessEntry> listProcesses();

struct ModuleEntry
{
    // File name without folder, and the full path as the system gives it.
    std::string name;
    std::string path;
};

// The executable and library files the process has loaded, each once. Empty when they cannot be
// read (no such process, access denied). Windows covers 32-bit modules too; Linux lists the
// file-backed mappings of /proc/<pid>/maps.
std::vector<ModuleEntry> listModules(std::int64_t pid);

// Full path of the process's executable with forward slashes; empty when it cannot be read.
std::string processImagePath(std::int64_t pid);

// The distinct files mapped in a /proc/<pid>/maps text, in order of first appearance. Anonymous
// and pseudo mappings ([heap], [stack], ...) are left out, and so is the " (deleted)" mark.
std::vector<std::string> parseMappedFiles(const std::string &mapsText);

// The part of a path after its last slash or backslash.
std::string fileNameOfPath(const std::string &path);

// ---- Machine identity --------------------------------------------------------------------------

// The registers of CPUID function 0 in the order EAX, EBX, ECX, EDX: the highest basic function
// number and the vendor text. All zeros on processors without CPUID (anything but x86).
std::array<std::uint32_t, 4> cpuidLeaf0();

// Windows: the volume serial number of the C: root (0 when the query fails). Linux: the low 32
// bits of the file system id of "/" (statvfs f_fsid).
std::uint32_t systemVolumeSerial();

// ---- Archive extraction ------------------------------------------------------------------------

// The program that unpacks the base-client zip, found through the search path: "tar" on Windows
// (bsdtar, shipped since Windows 10), "bsdtar" on Linux (GNU tar cannot read zip).
const char *archiveExtractor();

// What the player reads when that program cannot be started.
const char *archiveExtractorMissingText();

// ---- Files -------------------------------------------------------------------------------------

struct FileStamp
{
    std::int64_t size = 0;
    // Last modification, nanoseconds since 1970-01-01 UTC.
    std::int64_t modifiedNs = 0;
    // The file's identity on its volume (device and inode on Linux): the same for every hard
    // link of one file, different for a copy. 0 on Windows, where only an open handle tells.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // Linux: the last change of the file or its status (ctime), which no program can set back;
    // 0 on Windows.
    std::int64_t changedNs = 0;
};

// Size and modification time of a regular file (following links); empty when there is none or it
// cannot be examined. One system call, no time-zone work: the digest cache asks for every file.
std::optional<FileStamp> fileStamp(const std::string &path);

// Gives the file at `from` the name `to` in one step, replacing a file of that name: there is no
// moment without a file under `to`. Both lie in one folder (one volume). False when it failed.
bool replaceFile(const std::string &from, const std::string &to);

// A regular file opened for reading, closed with the object. Plain system calls: a digest of
// many small files spends more time opening them than hashing, and QFile adds several calls and
// allocations to each.
class InputFile
{
public:
    enum Status
    {
        Open,
        Missing, // no regular file there: nothing, or a folder or device in its place
        Failed   // a file that cannot be opened
    };

    // Whom the file is shared with while it is open. Windows: everyone may read, write, rename
    // and delete it (as QFile opens files), or only read it: nobody can write, replace or delete
    // it until it is closed. Linux has no such lock; the two open the same way.
    enum Sharing
    {
        Shared,
        ReadOnly
    };

    explicit InputFile(const std::string &path, Sharing sharing = Shared);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    Status status() const { return state; }
    // Size and modification time of the file when it was opened (not of whatever the path names
    // by now); empty unless open.
    std::optional<FileStamp> stamp() const
    {
        return state == Open ? std::optional<FileStamp>(opened) : std::nullopt;
    }
    // Bytes read into `buffer`, 0 at the end, -1 on an error.
    std::int64_t read(void *buffer, std::size_t size);
    // The system's handle (a descriptor on Linux, a HANDLE on Windows); -1 unless open.
    std::intptr_t nativeHandle() const { return state == Open ? handle : -1; }

private:
    Status state = Failed;
    std::intptr_t handle = -1;
    FileStamp opened;
};

// ---- Digest -----------------------------------------------------------------------------------

// SHA-256 fed piece by piece, from the system's fastest implementation: CNG (the BCryptHash
// family) on Windows, OpenSSL's EVP interface on Linux; both run several times faster than Qt's
// own.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // Starts over, as if newly made.
    void reset();
    void add(const void *data, std::size_t size);
    // The digest of everything added since the last reset as 64 lower-case hex characters; empty
    // when the system library failed. Only reset() makes the object usable again.
    std::string hexResult();

private:
    struct State;
    std::unique_ptr<State> state;
};

// ---- Signatures --------------------------------------------------------------------------------

// An ECDSA P-256 public key: its point uncompressed, 0x04 followed by X and Y (32 bytes each).
using P256PublicKey = std::array<unsigned char, 65>;

struct PublicKeyList
{
    std::vector<P256PublicKey> keys;
    // Why a "PUBLIC KEY" block was passed over (another curve or algorithm, broken base64), one
    // line per block; empty when every block was taken.
    std::string skipped;
};

// The P-256 keys of the "-----BEGIN PUBLIC KEY-----" blocks in `pem`, in their order, as
// `openssl ec -pubout` and `openssl pkey -pubout` write them. Everything outside such blocks is
// ignored, so a file may carry comments and several keys.
PublicKeyList readP256PublicKeys(const std::string &pem);

// The two 32-byte integers r and s of a DER ECDSA signature (what `openssl dgst -sign` writes),
// as r followed by s. Empty unless it is exactly one strict DER SEQUENCE of two positive INTEGERs
// that each fit 32 bytes, with nothing after it.
std::optional<std::array<unsigned char, 64>> decodeDerSignature(const std::string &der);

// True when `signature` (DER, as above) is a valid ECDSA signature with SHA-256 of the `size`
// bytes at `data` by `key`. Windows: CNG's BCryptVerifySignature, which takes r and s; Linux:
// OpenSSL's EVP interface.
bool verifyP256Signature(const P256PublicKey &key, const void *data, std::size_t size,
                         const std::string &signature);

// ---- Self-update ------------------------------------------------------------------------------

// The cmd.exe script that waits while process `pid` exists, moves `exeName` aside to
// "<exeName>.old", moves `newExeName` into its place, starts it and deletes itself. It lies in the
// folder of both files and names them relative to its own folder ("%~dp0"): cmd.exe reads a
// batch file in the console code page, which cannot spell every folder name, so the text stays
// ASCII. Lines end in CR LF. Empty when a name is not printable ASCII (or the pid is not valid).
std::string batchUpdateScript(std::int64_t pid, const std::string &exeName,
                              const std::string &newExeName);

// Starts the update script at `scriptPath` detached, in this process's working directory.
// Windows: the system's cmd.exe /c in a console of its own; Linux: /bin/sh in a session of its
// own. False when the interpreter cannot be started.
bool startUpdateScript(const std::string &scriptPath);

} // namespace platform
