#include "authservice.h"
#include "devserver.h"
#include "fileservice.h"
#include "releaseservice.h"
#include "signer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

#include <memory>

namespace {

// "signing-key.pem" → "signing-key.pub.pem".
QString publicKeyPath(QString path)
{
    if (path.endsWith(QLatin1String(".pem")))
        path.chop(4);
    return path + QStringLiteral(".pub.pem");
}

// The key at `path`, or a new one made there; either way its public key is written beside it.
bool loadOrMakeKey(Signer &signer, const QString &path)
{
    QTextStream err(stderr);
    const QString publicPath = publicKeyPath(path);
    QString error;
    QDir().mkpath(QFileInfo(path).absolutePath());
    const bool ok = QFileInfo::exists(path) ? signer.load(path, &error)
                                            : signer.generate(path, publicPath, &error);
    if (!ok) {
        err << "--signing-key: " << error << "\n";
        return false;
    }
    QSaveFile file(publicPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(signer.publicKeyPem()) < 0 ||
        !file.commit()) {
        err << "Cannot write " << publicPath << ": " << file.errorString() << "\n";
        return false;
    }
    QTextStream(stdout) << "Signing with " << path << "; launchers trust " << publicPath
                        << Qt::endl;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wardgate-devserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Local auth service, game files and releases for Wardgate."));
    parser.addHelpOption();
    QCommandLineOption portOption(QStringLiteral("port"),
                                  QStringLiteral("Port on 127.0.0.1 (default 8091)."),
                                  QStringLiteral("port"), QStringLiteral("8091"));
    QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Append every request as a JSON line to this file (method, path, query, "
                       "headers, body; a password is written as ********)."),
        QStringLiteral("file"));
    QCommandLineOption releaseOption(
        QStringLiteral("release-dir"),
        QStringLiteral("Publish the launcher release from this folder (Wardgate.exe, Wardgate)."),
        QStringLiteral("dir"));
    QCommandLineOption releaseVersionOption(QStringLiteral("release-version"),
                                            QStringLiteral("Published launcher version."),
                                            QStringLiteral("version"), QStringLiteral("1.0.17"));
    parser.addOption(portOption);
    parser.addOption(recordOption);
    parser.addOption(releaseOption);
    parser.addOption(releaseVersionOption);
    QCommandLineOption accountsOption(
        QStringLiteral("accounts"),
        QStringLiteral(
            "Accounts as a JSON object {\"name\": \"password\"} (default: demo / demo123)."),
        QStringLiteral("file"));
    QCommandLineOption authBaseOption(QStringLiteral("auth-base"),
                                      QStringLiteral("Path of the session endpoints."),
                                      QStringLiteral("path"), QStringLiteral("/api/auth"));
    QCommandLineOption remoteConfigOption(QStringLiteral("remote-config"),
                                          QStringLiteral("JSON object served at /api/config."),
                                          QStringLiteral("file"));
    parser.addOptions({accountsOption, authBaseOption, remoteConfigOption});
    QCommandLineOption filesOption(QStringLiteral("files"),
                                   QStringLiteral("Serve the game files of this folder, with a "
                                                  "manifest at /manifest.json."),
                                   QStringLiteral("folder"));
    QCommandLineOption filesVersionOption(QStringLiteral("files-version"),
                                          QStringLiteral("Version text of the manifest."),
                                          QStringLiteral("text"), QStringLiteral("1.0.0"));
    QCommandLineOption baseClientOption(
        QStringLiteral("base-client"),
        QStringLiteral("Serve this zip, or this folder zipped, as the base client."),
        QStringLiteral("path"));
    QCommandLineOption signingKeyOption(
        QStringLiteral("signing-key"),
        QStringLiteral("Sign the manifest and version.json with this ECDSA P-256 private key "
                       "(PEM), made here at first start; its public key is written beside it "
                       "as <name>.pub.pem (default: signing-key.pem in the server's data "
                       "folder)."),
        QStringLiteral("file"));
    parser.addOptions({filesOption, filesVersionOption, baseClientOption, signingKeyOption});
    parser.process(app);

    AuthService::Options auth;
    auth.basePath = parser.value(authBaseOption);
    QString error;
    if ((parser.isSet(accountsOption) &&
         !AuthService::loadAccounts(parser.value(accountsOption), &auth.accounts, &error)) ||
        (parser.isSet(remoteConfigOption) &&
         !AuthService::loadObject(parser.value(remoteConfigOption), &auth.remoteConfig, &error))) {
        QTextStream(stderr) << error << "\n";
        return 1;
    }

    // A key only where something is signed here: as the auth service of a trial, the manifest
    // comes from elsewhere and its own key is the one launchers must trust.
    const bool signs =
        parser.isSet(releaseOption) || parser.isSet(filesOption) || parser.isSet(baseClientOption);
    auto signer = std::make_shared<Signer>();
    if (signs) {
        QString keyFile = parser.value(signingKeyOption);
        if (keyFile.isEmpty())
            keyFile = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                      QStringLiteral("/signing-key.pem");
        if (!loadOrMakeKey(*signer, keyFile))
            return 1;
    } else {
        const QString manifestUrl =
            auth.remoteConfig.value(QLatin1String("manifest_url")).toString();
        QTextStream(stdout) << "Signing nothing: no manifest or release is served here; launchers "
                               "trust the key that signs "
                            << (manifestUrl.isEmpty() ? QStringLiteral("your manifest")
                                                      : manifestUrl)
                            << Qt::endl;
    }

    DevServer server;
    if (parser.isSet(releaseOption)) {
        const QDir releaseDir(parser.value(releaseOption));
        ReleaseServiceOptions release;
        release.version = parser.value(releaseVersionOption);
        release.signer = signer;
        if (releaseDir.exists(QStringLiteral("Wardgate.exe")))
            release.windowsExecutable = releaseDir.absoluteFilePath(QStringLiteral("Wardgate.exe"));
        if (releaseDir.exists(QStringLiteral("Wardgate")))
            release.linuxExecutable = releaseDir.absoluteFilePath(QStringLiteral("Wardgate"));
        installReleaseService(server, release);
    }
    installAuthService(server, auth);
    if (parser.isSet(recordOption))
        server.setRecordFile(parser.value(recordOption));
    if (parser.isSet(filesOption) || parser.isSet(baseClientOption)) {
        FileServiceOptions files;
        files.filesDirectory = parser.value(filesOption);
        files.version = parser.value(filesVersionOption);
        files.baseClientSource = parser.value(baseClientOption);
        files.signer = signer;
        if (!installFileService(server, files, &error)) {
            QTextStream(stderr) << error << "\n";
            return 1;
        }
    }
    if (!server.listenLoopback(parser.value(portOption).toUShort())) {
        QTextStream(stderr) << "Cannot listen on 127.0.0.1:" << parser.value(portOption) << "\n";
        return 1;
    }
    QTextStream(stdout) << "Dev server on " << server.rootUrl() << Qt::endl;
    return app.exec();
}
