#include "platform/platform.h"

namespace platform {

const char *archiveExtractor()
{
    return "tar";
}

} // namespace platform
