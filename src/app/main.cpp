#include "app/autoupdater.h"
#include "app/selfupdate.h"
#include "app/singleinstance.h"
#include "core/configlocation.h"
#include "core/gamefolder.h"
#include "core/launcherconfig.h"
#include "core/logger.h"
#include "core/usersettings.h"
#include "deployment.h"
#include "net/networkrequests.h"
#include "net/tlspolicy.h"
#include "platform/platform.h"
#include "ui/interfacelanguage.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>
#include <QStyleFactory>

namespace {
const QString instanceName = QStringLiteral("Veyrun_Launcher_SingleInstance");
const QString windowTitle = QStringLiteral("Veyrun Launcher");
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Before the first request: the update check, the auth service, the manifest and the game
    // files all go through the proxy the player's system names.
    useSystemProxy();
    // The images live in the window's library, which the linker would otherwise leave out.
    Q_INIT_RESOURCE(resources);

    SingleInstance instance(instanceName);
    if (!instance.acquire()) {
        instance.activateRunningInstance(windowTitle);
        return 0;
    }

    if (platform::isDebuggerPresent())
        return 0;

    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QCoreApplication::setApplicationName(QStringLiteral("Veyrun Launcher"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(deployment::version));
    QCoreApplication::setOrganizationName(QStringLiteral("Veyrun"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/images/app_icon.ico")));
    // Before the first text a player sees, the update splash's included.
    const QString languageChoice = UserSettings().language();
    const QString language = interfacelanguage::resolve(languageChoice);
    const bool languageLoaded = interfacelanguage::install(language);

    Logger &log = Logger::instance();
    log.log(Info, QStringLiteral("=== Wardgate Started ==="));
    log.log(Info, QStringLiteral("Version: %1").arg(QCoreApplication::applicationVersion()));

    // Left behind by the previous self-update; its absence is normal.
    QFile::remove(QCoreApplication::applicationFilePath() + QStringLiteral(".old"));

    const QStringList configCandidates = configlocation::candidates(
        QCoreApplication::applicationDirPath(),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    const QString configPath = configlocation::find(configCandidates);
    LauncherConfig::instance().load(configPath.isEmpty() ? configCandidates.constFirst()
                                                         : configPath);
    log.log(Info, QStringLiteral("Configuration loaded"));
    if (configPath.isEmpty())
        log.log(Info, QStringLiteral("No configuration file (looked for %1); using the defaults")
                          .arg(configCandidates.join(QStringLiteral(", "))));
    else
        log.log(Info, QStringLiteral("Configuration read from %1")
                          .arg(QFileInfo(configPath).absoluteFilePath()));
    UserSettings().applyTo(LauncherConfig::instance());
    const QString authorities = LauncherConfig::instance().caCertificatesFile;
    if (!authorities.isEmpty()) {
        QString error;
        if (trustCaCertificatesFile(authorities, &error))
            log.log(Info, QStringLiteral("Trusting %1 certificate authorities of %2 besides the "
                                         "system's")
                              .arg(extraCaCertificates().size())
                              .arg(authorities));
        else
            log.log(Warn, QStringLiteral("Cannot read the certificate authorities in %1: %2")
                              .arg(authorities, error));
    }
    gamefolder::settle(LauncherConfig::instance(), QDir::currentPath(), true);
    const SigningKeys &signingKeys = LauncherConfig::instance().signingKeys;
    log.log(!signingKeys.isConfigured() ? Warn
            : signingKeys.count() > 0   ? Info
                                        : Error,
            signingKeys.description());
    log.log(languageLoaded ? Info : Warn,
            QStringLiteral("Interface language: %1 (%2)%3")
                .arg(language,
                     languageChoice == QLatin1String("system")
                         ? QStringLiteral("the system's")
                         : QStringLiteral("chosen in Settings"),
                     languageLoaded ? QString() : QStringLiteral(", its translation is missing")));

#ifdef WARDGATE_PACKAGED
    // Desktop shells match the window to the menu entry and its icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("wardgate"));
    // An installed package is updated by the system's package manager, never by itself.
    log.log(Info, QStringLiteral("[AutoUpdater] Self-update is off: the package manager updates "
                                 "this installation"));
#else
    // Before any window of ours: a downloaded update takes over through its script once we exit.
    {
        AutoUpdater updater(ReleaseChannel::deployed(), QCoreApplication::applicationFilePath());
        if (runSelfUpdate(updater, QCoreApplication::applicationPid()))
            return 0;
    }
#endif

    int exitCode = 0;
    {
        MainWindow window;
        QObject::connect(&instance, &SingleInstance::activationRequested, &window, [&window] {
            window.showNormal();
            window.raise();
            window.activateWindow();
        });
        window.show();
        window.raise();
        window.activateWindow();
        log.log(Info, QStringLiteral("Main window shown"));

        exitCode = QApplication::exec();
        log.log(Info, QStringLiteral("=== Wardgate Closed ==="));
    }
    return exitCode;
}
