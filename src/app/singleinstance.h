#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One launcher per user session. The first start holds the platform lock and, where the platform
// has no window search (Linux), listens on a local socket of the same name so that a second
// start can ask it to bring its window forward.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString &name, QObject *parent = nullptr);

    // True when this process is the first; it then listens for later starts.
    bool acquire();
    // Called by a second start: brings the running instance's window (titled windowTitle) forward.
    void activateRunningInstance(const QString &windowTitle);

signals:
    void activationRequested();

private:
    QString name;
    QString socketName; // a path in the user's runtime folder
    QLocalServer server;
};
