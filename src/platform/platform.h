#pragma once

// The operating-system calls the launcher needs, as plain C++17 (no Qt types), so the Windows
// implementation also builds with mingw-w64. Exactly one implementation is compiled per OS:
// platform/linux/*.cpp or platform/windows/*.cpp. Strings are UTF-8.

#include <cstdint>
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

} // namespace platform
