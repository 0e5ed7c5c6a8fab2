#pragma once

#include <QtGlobal>

#include <deque>
#include <utility>

// The speed of a download and the time it still needs, as they hold over the last few seconds:
// neither jumps with every burst (a buffer emptying after a pause, a kept part counted again when
// its transfer resumes), and both stay silent until there is enough to go on. Fed with the bytes
// done so far and the time of each reading (milliseconds of any steady clock).
class TransferRate
{
public:
    // The span looked at, and the history needed before a speed or an estimate is given.
    static constexpr qint64 windowMs = 5000;
    static constexpr qint64 speedAfterMs = 1500;
    static constexpr qint64 estimateAfterMs = 3000;

    void reset() { samples.clear(); }
    // Bytes done so far; a count that falls (a failed attempt's bytes taken back) starts over.
    void add(qint64 bytesDone, qint64 nowMs);
    // Bytes per second that held over the window: the middle one of its three thirds' speeds, so
    // a burst within one third moves nothing. Negative until there is a speed to show.
    double bytesPerSecond() const;
    // Seconds the remaining bytes take at that speed; negative until there is an estimate.
    qint64 secondsLeft(qint64 remainingBytes) const;

private:
    qint64 spanMs() const;
    // Bytes done at `timeMs`, read between the two readings around it.
    double bytesAt(double timeMs) const;

    std::deque<std::pair<qint64, qint64>> samples; // (time, bytes done), oldest first
};
