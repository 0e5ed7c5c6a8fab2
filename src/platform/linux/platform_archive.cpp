#include "platform/platform.h"

namespace platform {

const char *archiveExtractor()
{
    return "bsdtar";
}

const char *archiveExtractorMissingText()
{
    return "Cannot start bsdtar — install libarchive-tools.";
}

} // namespace platform
