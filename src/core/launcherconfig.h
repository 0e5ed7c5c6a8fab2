#pragma once

#include "core/signingkeys.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The process-wide settings: the ini file at start, then the remote configuration object.
// Consumers read the public fields at the moment of use; nothing is written back.
class LauncherConfig
{
public:
    static LauncherConfig &instance();

    LauncherConfig();

    void load(const QString &path);
    void applyRemoteConfig(const QJsonObject &object);

    QString manifestUrl;
    // A PEM file of certificate authorities trusted besides the system's (ini "Security/
    // CaCertificates", relative to the ini's folder); empty when the ini names none.
    QString caCertificatesFile;
    QString authUrl;
    QString filesBaseUrl;
    // Base URLs serving the same files as filesBaseUrl, asked when it (or one of them) fails.
    QStringList filesMirrors;
    QString gameDirectory = QStringLiteral(".");
    // True when no launcher.ini named the game folder; the player's choice in Settings clears it.
    bool gameDirectoryUnnamed = false;
    QString gameExecutable;
    QString serverIp;
    int serverPort = 7777;
    int heartbeatInterval = 45;
    int maxDownloadThreads = 4;
    QStringList integrityFiles;
    int integrityCheckMin = 60;
    int integrityCheckMax = 180;
    // Set when the remote configuration names the number of downloads: the player's own choice
    // then no longer applies.
    bool maxDownloadThreadsFromServer = false;
    // The keys whose signatures the manifest and the release must carry: the built-in ones and
    // those of the file "[Security] SigningKey=" names. None: nothing is signed.
    SigningKeys signingKeys;
};
