#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace platform {

namespace {

FileStamp stampOf(DWORD sizeHigh, DWORD sizeLow, const FILETIME &written)
{
    FileStamp stamp;
    stamp.size = (std::int64_t(sizeHigh) << 32) | sizeLow;
    // FILETIME counts 100 ns ticks from 1601-01-01.
    const std::int64_t ticks = (std::int64_t(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    stamp.modifiedNs = (ticks - 116444736000000000LL) * 100;
    return stamp;
}

HANDLE handleOf(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

std::optional<FileStamp> fileStamp(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(toWide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return stampOf(data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
}

bool replaceFile(const std::string &from, const std::string &to)
{
    return MoveFileExW(toWide(from).c_str(), toWide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

InputFile::InputFile(const std::string &path, Sharing sharing)
{
    // Shared like QFile opens files, so a game or an updater holding the file does not fail us;
    // read-only, nobody can write, rename or delete it while it is open (a rename over it, or a
    // delete, needs FILE_SHARE_DELETE).
    const DWORD shareMode = sharing == ReadOnly
                                ? FILE_SHARE_READ
                                : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = CreateFileW(toWide(path).c_str(), GENERIC_READ, shareMode, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder cannot be opened without backup semantics and reports "access denied".
        const DWORD attributes = GetFileAttributesW(toWide(path).c_str());
        const bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        state = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || folder ? Missing
                                                                                         : Failed;
        return;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(file) != FILE_TYPE_DISK) {
        state = Missing;
        return;
    }
    opened = stampOf(info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime);
    state = Open;
}

InputFile::~InputFile()
{
    if (handle != -1)
        CloseHandle(handleOf(handle));
}

std::int64_t InputFile::read(void *buffer, std::size_t size)
{
    if (state != Open)
        return -1;
    DWORD count = 0;
    const DWORD wanted = size > 0x40000000 ? 0x40000000 : DWORD(size);
    if (!ReadFile(handleOf(handle), buffer, wanted, &count, nullptr))
        return -1;
    return count;
}

} // namespace platform
