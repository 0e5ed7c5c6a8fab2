// A stand-in for the game executable. The game gets only the argument "0", so its behaviour comes
// from the environment:
//   WARDGATE_FAKE_GAME_RECORD  file to write the working directory and then each argument to,
//                              one per line
//   WARDGATE_FAKE_GAME_MS      how long to run before exiting (default 0)
//   WARDGATE_FAKE_GAME_EXIT    exit code (default 0)
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QThread>

int main(int argc, char *argv[])
{
    const QByteArray recordPath = qgetenv("WARDGATE_FAKE_GAME_RECORD");
    if (!recordPath.isEmpty()) {
        QFile record(QString::fromLocal8Bit(recordPath));
        if (record.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            record.write(QDir::currentPath().toUtf8() + '\n');
            for (int i = 1; i < argc; ++i)
                record.write(QByteArray(argv[i]) + '\n');
        }
    }
    QThread::msleep(qEnvironmentVariableIntValue("WARDGATE_FAKE_GAME_MS"));
    return qEnvironmentVariableIntValue("WARDGATE_FAKE_GAME_EXIT");
}
