#pragma once

#include "core/failuretext.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>

class QNetworkReply;
class QTimer;

// The one rule against a server too slow to be of use: a reply that receives fewer than
// `minimumBytesPerSecond` on average over `window` (30 s) is aborted, head or body alike. The
// transfer time-out only catches a server that sends nothing at all: one byte every few seconds
// keeps it quiet for as long as the server likes. Game files, the base client, the self-update
// and the manifest all go by this rule; the reply's owner asks tripped() when the reply ends and
// reports reason() instead of the abort's own "Operation canceled".
class LowSpeedGuard : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultWindowMs = 30000;
    static constexpr qint64 minimumBytesPerSecond = 256;

    // Watches `reply` from now on and goes with it. A window of 0 or less watches nothing.
    static LowSpeedGuard *watch(QNetworkReply *reply, int windowMs = defaultWindowMs);

    bool tripped() const { return trippedAt > 0; }
    // The reader held the reply back (a speed limit): the window running now does not count.
    void excuse() { excused = true; }
    FailureText reason() const;

private:
    LowSpeedGuard(QNetworkReply *reply, int windowMs);
    void check();

    struct Sample
    {
        qint64 atMs;
        qint64 bytes;
    };

    QNetworkReply *reply;
    const int windowMs;
    QElapsedTimer clock;
    QTimer *timer;
    qint64 received = 0;
    std::deque<Sample> samples; // oldest first, at most a window apart
    qint64 trippedAt = 0;       // ms since the start; 0: not tripped
    qint64 bytesInWindow = 0;
    bool excused = false;
};
