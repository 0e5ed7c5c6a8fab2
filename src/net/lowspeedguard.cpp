#include "net/lowspeedguard.h"

#include "net/httpreply.h"

#include <QNetworkReply>
#include <QTimer>

namespace {
// Looked at this many times per window: a slow server is caught at most a sixth of the window
// late, and a fast one costs a timer tick every few seconds.
constexpr int checksPerWindow = 6;
} // namespace

LowSpeedGuard *LowSpeedGuard::watch(QNetworkReply *reply, int windowMs)
{
    if (!reply || windowMs <= 0)
        return nullptr;
    return new LowSpeedGuard(reply, windowMs);
}

LowSpeedGuard::LowSpeedGuard(QNetworkReply *reply, int windowMs)
    : QObject(reply), reply(reply), windowMs(windowMs), timer(new QTimer(this))
{
    clock.start();
    samples.push_back(Sample{0, 0});
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 bytes, qint64) { received = bytes; });
    connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    connect(timer, &QTimer::timeout, this, &LowSpeedGuard::check);
    timer->start(qMax(1, windowMs / checksPerWindow));
}

void LowSpeedGuard::check()
{
    const qint64 now = clock.elapsed();
    // A reply its reader held back (the speed limit), or a request still waiting behind others
    // on its connection, is not slow: its window starts again from here.
    const auto *own = qobject_cast<const HttpReply *>(reply);
    if (excused || (own && own->waitingTurn())) {
        excused = false;
        samples.clear();
        samples.push_back(Sample{now, received});
        return;
    }
    samples.push_back(Sample{now, received});
    // The oldest sample kept is the latest one at least a window old.
    while (samples.size() > 1 && now - samples[1].atMs >= windowMs)
        samples.pop_front();
    const Sample &oldest = samples.front();
    if (now - oldest.atMs < windowMs || reply->isFinished())
        return;
    const qint64 bytes = received - oldest.bytes;
    if (bytes * 1000 >= minimumBytesPerSecond * (now - oldest.atMs))
        return;
    trippedAt = now;
    bytesInWindow = bytes;
    timer->stop();
    reply->abort();
}

FailureText LowSpeedGuard::reason() const
{
    return FailureText("LowSpeedGuard", "The server sent only %1 bytes in %2 s (too slow to go on)")
        .arg(QString::number(bytesInWindow), QString::number(windowMs / 1000.0));
}
