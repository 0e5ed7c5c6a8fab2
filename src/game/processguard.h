#pragma once

#include <QObject>
#include <QString>

class QTimer;

// Finds game clients that must not run beside ours: clients of other servers (game modules
// loaded from outside our game folder) and second copies of our own client.
class ProcessGuard : public QObject
{
    Q_OBJECT

public:
    explicit ProcessGuard(QObject *parent = nullptr);
    ~ProcessGuard() override;

    void startMonitoring(qint64 pid, const QString &exeDirectory);
    void stopMonitoring();
    // True when no offender runs; the reason for false is logged, no signal is emitted.
    bool checkBeforeLaunch();

signals:
    void foreignClientDetected(const QString &description);

public slots:
    void onTimerTick();

private:
    QString scanForForeignClients() const;
    bool classifyModules(qint64 pid, bool &ours) const;
    bool isCloneOfOurClient(qint64 pid) const;

    QTimer *scanTimer;
    qint64 ourPid = 0;
    QString gameDirPrefix;
    QString ourExeHash;
};
