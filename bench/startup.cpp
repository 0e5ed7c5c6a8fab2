// Times the launcher's start: from starting the process to its "Main window shown" log line,
// printed with the update splash's fixed 1,500 ms pause taken off. The launcher runs offscreen
// with its home, data and runtime folders inside the given work folder; the build's release API
// must point at a closed port so that the update check fails at once.
//
//   bench_startup <launcher executable> <work folder>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>

namespace {

constexpr qint64 splashPauseMs = 1500;
constexpr qint64 giveUpMs = 30000;

// The launcher puts its log below its data folder; the exact sub-folder is its own business.
bool logShowsWindow(const QString &dataFolder)
{
    QDirIterator logs(dataFolder, {QStringLiteral("launcher.log")}, QDir::Files,
                      QDirIterator::Subdirectories);
    while (logs.hasNext()) {
        QFile log(logs.next());
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains("] Main window shown"))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        err << "usage: bench_startup <launcher executable> <work folder>\n";
        return 2;
    }
    const QDir work(args.at(2));
    QDir(work.filePath(QStringLiteral("data"))).removeRecursively();
    for (const char *name : {"home", "data", "config", "runtime"})
        work.mkpath(QString::fromLatin1(name));
    QFile::setPermissions(work.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), work.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), work.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), work.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), work.filePath(QStringLiteral("runtime")));

    QProcess launcher;
    launcher.setProcessEnvironment(environment);
    launcher.setWorkingDirectory(work.path());
    // Offscreen, its window manager calls only print complaints.
    launcher.setStandardOutputFile(QProcess::nullDevice());
    launcher.setStandardErrorFile(QProcess::nullDevice());

    QElapsedTimer clock;
    clock.start();
    launcher.start(args.at(1), {});
    if (!launcher.waitForStarted()) {
        err << "cannot start " << args.at(1) << ": " << launcher.errorString() << "\n";
        return 1;
    }
    const QString dataFolder = work.filePath(QStringLiteral("data"));
    qint64 shownMs = -1;
    // Polled every millisecond; waiting on the process also notices a launcher that quit.
    while (clock.elapsed() < giveUpMs) {
        if (logShowsWindow(dataFolder)) {
            shownMs = clock.elapsed();
            break;
        }
        if (launcher.waitForFinished(1))
            break;
    }
    launcher.kill();
    launcher.waitForFinished();
    if (shownMs < 0) {
        err << "the launcher never logged \"Main window shown\"\n";
        return 1;
    }
    QTextStream(stdout) << "start-up: " << (shownMs - splashPauseMs) << " ms\n";
    return 0;
}
