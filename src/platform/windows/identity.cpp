#include "platform/platform.h"

#include <windows.h>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace platform {

std::array<std::uint32_t, 4> cpuidLeaf0()
{
#if defined(_MSC_VER)
    int info[4] = {};
    __cpuid(info, 0);
    return {static_cast<std::uint32_t>(info[0]), static_cast<std::uint32_t>(info[1]),
            static_cast<std::uint32_t>(info[2]), static_cast<std::uint32_t>(info[3])};
#else
    std::array<std::uint32_t, 4> registers{};
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        registers = {eax, ebx, ecx, edx};
    return registers;
#endif
}

std::uint32_t systemVolumeSerial()
{
    // Only the serial is asked for; a failed query leaves it 0, which still makes an identifier.
    DWORD serial = 0;
    GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
    return serial;
}

} // namespace platform
