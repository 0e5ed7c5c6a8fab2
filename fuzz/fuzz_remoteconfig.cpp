// The remote configuration: any body the config endpoint may send, parsed and applied.
#include "core/launcherconfig.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    LauncherConfig config;
    config.applyRemoteConfig(document.object());
    return 0;
}
