#pragma once

namespace platform {

// Kernels before 5.3 have no pidfd_open: the process functions then watch a process by
// kill(pid, 0) and its state in /proc, and wait for a child with waitpid(). Switched off here by
// tests, to run that path on a kernel that has pidfds.
void setPidfdUsable(bool usable);

} // namespace platform
