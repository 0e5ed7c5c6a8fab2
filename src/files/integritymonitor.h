#pragma once

#include "files/manifest.h"

#include <QList>
#include <QObject>
#include <QString>

class QTimer;

// While the game runs, the game files that match the configured name patterns are hashed again
// at random intervals; the first one that no longer matches the manifest is reported and
// monitoring ends.
class IntegrityMonitor : public QObject
{
    Q_OBJECT

public:
    explicit IntegrityMonitor(QObject *parent = nullptr);

    // Watches those of `files` that match the patterns; with none, stops and says so.
    void start(const QList<FileEntry> &files);
    void stop();

signals:
    void violation(QString filePath);

private:
    void check();
    void scheduleNextCheck();

    QTimer *timer = nullptr;
    QList<FileEntry> monitoredFiles;
    static constexpr qint64 floorMs = 1000;
    bool floorLogged = false; // once per monitoring run
};
