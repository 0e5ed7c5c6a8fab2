// A stand-in for a running game client: maps the given module files into memory, prints "ready"
// and stays alive until killed, so that they show up in /proc/<pid>/maps.
//   module_mapper [folder [module...]]
// Without a folder (or with the game's argument "0") the modules come from the program's own
// folder; without module names they are engine.dll, core.dll and lineagecreature.dll.
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // Never outlive the test that started us.
    prctl(PR_SET_PDEATHSIG, SIGKILL);

    QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (folder.isEmpty() || folder == QLatin1String("0"))
        folder = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    QStringList names;
    for (int i = 2; i < argc; ++i)
        names.append(QString::fromLocal8Bit(argv[i]));
    if (names.isEmpty())
        names = {QStringLiteral("engine.dll"), QStringLiteral("core.dll"),
                 QStringLiteral("lineagecreature.dll")};

    QList<QFile *> files;
    for (const QString &name : names) {
        auto *file = new QFile(folder + QLatin1Char('/') + name);
        if (!file->open(QIODevice::ReadOnly) || !file->map(0, file->size())) {
            std::fprintf(stderr, "cannot map %s\n", qPrintable(file->fileName()));
            return 2;
        }
        files.append(file);
    }
    std::puts("ready");
    std::fflush(stdout);
    for (;;)
        pause();
}
