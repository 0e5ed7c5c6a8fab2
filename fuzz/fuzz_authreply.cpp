// The auth service's register and heartbeat answers.
#include "auth/authreply.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const RegisterReply reply = parseRegisterReply(body);
    if (!reply.isObject &&
        (reply.success || !reply.message.isEmpty() || !reply.sessionId.isEmpty()))
        __builtin_trap();
    heartbeatFailureMessage(body);
    return 0;
}
