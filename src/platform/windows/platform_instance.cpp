#include "platform/platform.h"

#include "platform/windows/wide.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

bool acquireSingleInstance(const std::string &name)
{
    // The handle stays open for the life of the process and is released by the system at exit.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, toWide(name).c_str());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex)
            CloseHandle(mutex);
        return false;
    }
    return true;
}

bool activateWindowByTitle(const std::string &title)
{
    HWND window = FindWindowW(nullptr, toWide(title).c_str());
    if (!window)
        return false;
    ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    return true;
}

bool isDebuggerPresent()
{
    return IsDebuggerPresent() != FALSE;
}

} // namespace platform
