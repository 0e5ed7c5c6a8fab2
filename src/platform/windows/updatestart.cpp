#include "platform/platform.h"

#include "platform/windows/wide.h"

#include <windows.h>

#include <algorithm>

namespace platform {

bool startUpdateScript(const std::string &scriptPath)
{
    // The system's own cmd.exe, never one that lies in the launcher's folder or the current one.
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const std::wstring interpreter = std::wstring(system) + L"\\cmd.exe";

    std::string script = scriptPath;
    std::replace(script.begin(), script.end(), '/', '\\');
    // cmd.exe drops the first and the last quote after /c unless the quoted text is a plain
    // program path; with "(" in it ("C:\Program Files (x86)\...") it would then read up to the
    // first blank. A second pair of quotes survives that in every case.
    std::wstring commandLine = L"cmd.exe /c \"\"" + toWide(script) + L"\"\"";

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // A console of its own, where the script says what it does; no handles inherited, so the
    // launcher's files are not held open by the script after the launcher has gone.
    if (!CreateProcessW(interpreter.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace platform
