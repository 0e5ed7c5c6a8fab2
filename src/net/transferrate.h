#pragma once

#include <QString>

#include <deque>
#include <utility>

// The speed of a download and the time it still needs, smoothed over the last few seconds so
// neither jumps with every burst, and silent until there is enough to go on. Fed with the bytes
// done so far and the time of each reading (milliseconds of any steady clock).
class TransferRate
{
public:
    // The span averaged over, and the history needed before a speed or an estimate is given.
    static constexpr qint64 windowMs = 5000;
    static constexpr qint64 speedAfterMs = 1000;
    static constexpr qint64 estimateAfterMs = 3000;

    void reset() { samples.clear(); }
    // Bytes done so far; a count that falls (a failed attempt's bytes taken back) starts over.
    void add(qint64 bytesDone, qint64 nowMs);
    // Bytes per second over the window; negative until there is a speed to show.
    double bytesPerSecond() const;
    // Seconds the remaining bytes take at that speed; negative until there is an estimate.
    qint64 secondsLeft(qint64 remainingBytes) const;
    // " · 8.4 MB/s · about 3 min left", " · 8.4 MB/s", or nothing: what follows a progress line.
    QString suffix(qint64 remainingBytes) const;

private:
    qint64 spanMs() const;

    std::deque<std::pair<qint64, qint64>> samples; // (time, bytes done), oldest first
};
