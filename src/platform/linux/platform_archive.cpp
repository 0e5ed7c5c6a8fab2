#include "platform/platform.h"

namespace platform {

const char *archiveExtractor()
{
    return "bsdtar";
}

} // namespace platform
