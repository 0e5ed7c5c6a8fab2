#pragma once

#include "devserver.h"
#include "fileservice.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class FileManager;

namespace testsupport {

// The dev server's game-file service over a temporary folder of served files, and an empty game
// directory; start() points the launcher's configuration at both (manifest URL, game directory,
// no files base URL and no mirrors, four download threads).
class FileServerFixture
{
public:
    FileServerFixture();

    // `baseClientSource`: a zip or a folder to serve as the base client, or empty for none.
    bool start(const QString &baseClientSource = QString());

    QString servedDir() const { return root.filePath(QStringLiteral("served")); }
    QString gameDir() const { return root.filePath(QStringLiteral("game")); }
    QString scratchDir() const { return root.filePath(QStringLiteral("scratch")); }
    // URL path of a served file, as faults and recorded requests name it.
    static QString urlPath(const QString &relativePath);

    bool serve(const QString &relativePath, const QByteArray &content);
    bool install(const QString &relativePath, const QByteArray &content);
    QByteArray installed(const QString &relativePath) const;
    int requestsFor(const QString &relativePath) const;

    DevServer server;

private:
    QTemporaryDir root;
};

// Calls downloadManifest() and waits for its outcome; true when it succeeded.
bool loadManifest(FileManager &manager);
// Runs a verification pass and waits for it; true when it completed.
bool verify(FileManager &manager);

} // namespace testsupport
