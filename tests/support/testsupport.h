#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

namespace testsupport {

// Path of a helper program built with the tests.
QString helperPath(const QString &name);
// Path of the built launcher executable.
QString launcherPath();

// Writes `content` to `path`, creating parent folders.
bool writeFile(const QString &path, const QByteArray &content);

// The whole content of a file; empty when it cannot be read.
QByteArray readFile(const QString &path);

// Content of the given size that differs from position to position and from `seed` to seed.
QByteArray patternedBytes(qint64 size, int seed = 0);

// Reads all lines of a text file (without line ends); empty when it cannot be read.
QStringList readLines(const QString &path);

// Blocks until this process may start or look for game clients, then holds that right until the
// process exits. The foreign-client guard sees every client on the machine, including the fake
// ones of tests running at the same time in other build folders.
void lockGameClients();

// The deliberate wait before checking that nothing more happened: it gives a wrong further
// signal, request, log line or file `ms` to show up while events are handled. Every such wait
// goes through here, so their purpose is named and their total one search away; a wait for
// something that should happen is a QTRY_* or QSignalSpy::wait instead.
void quietPeriod(int ms);

// Waits up to 10 s for a server started as `process` to take connections on loopback `port`;
// false when it ends or stays deaf meanwhile.
bool waitUntilListening(const QProcess &process, quint16 port);

} // namespace testsupport
