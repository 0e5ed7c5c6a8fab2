#include "platform/platform.h"

namespace platform {

const char *archiveExtractor()
{
    return "tar";
}

const char *archiveExtractorMissingText()
{
    return "Cannot start tar.exe — requires Windows 10+.";
}

} // namespace platform
