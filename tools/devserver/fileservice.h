#pragma once

#include <QString>

#include <memory>

class Signer;

class DevServer;

struct FileServiceOptions
{
    // The game files: the manifest lists every regular file below this folder.
    QString filesDirectory;
    // URL path the files are served under ("<prefix>/<relative path>").
    QString filesPrefix = QStringLiteral("/files");
    QString manifestPath = QStringLiteral("/manifest.json");
    QString version = QStringLiteral("1.0.0");
    // A zip file served as is, or a folder zipped once at start. Empty: the manifest names no
    // base client.
    QString baseClientSource;
    QString baseClientPath = QStringLiteral("/l2_base_client.zip");
    // When set, the manifest carries "published" (the time it was built) and its signature is
    // served at the manifest's path with ".sig" appended.
    std::shared_ptr<const Signer> signer;
};

// Adds the game-file routes to `server`: the manifest (sizes and SHA-256 of the folder's files,
// hashed again only when a file's size or time changes), the files, and the base-client zip.
// Faults per path go through DevServer::setFault. Returns false with `error` set when the base
// client cannot be prepared.
bool installFileService(DevServer &server, const FileServiceOptions &options,
                        QString *error = nullptr);
