#include "platform/platform.h"

#include <sys/statvfs.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace platform {

std::array<std::uint32_t, 4> cpuidLeaf0()
{
    std::array<std::uint32_t, 4> registers{};
#if defined(__x86_64__) || defined(__i386__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        registers = {eax, ebx, ecx, edx};
#endif
    return registers;
}

std::uint32_t systemVolumeSerial()
{
    struct statvfs info;
    if (::statvfs("/", &info) != 0)
        return 0;
    return static_cast<std::uint32_t>(info.f_fsid & 0xffffffffu);
}

} // namespace platform
