#include "platform/platform.h"

#include "platform/windows/wide.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

bool acquireSingleInstance(const std::string &name)
{
    // The name outlives the call, and the error is read right after it: freeing a temporary
    // in between could overwrite it. The handle stays open for the life of the process and is
    // released by the system at exit.
    const std::wstring wideName = toWide(name);
    HANDLE mutex = CreateMutexW(nullptr, TRUE, wideName.c_str());
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
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
    // Asynchronous: ShowWindow waits for the window's thread, and a hung first instance would
    // hang this second start with it.
    ShowWindowAsync(window, SW_RESTORE);
    SetForegroundWindow(window);
    return true;
}

bool isDebuggerPresent()
{
    return IsDebuggerPresent() != FALSE;
}

} // namespace platform
