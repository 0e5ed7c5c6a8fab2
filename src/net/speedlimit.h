#pragma once

#include <QtGlobal>

#include <chrono>
#include <mutex>

// One budget of bytes per second shared by every transfer that holds it, whatever thread it reads
// on: a token bucket that a reader asks before it takes bytes out of its reply. A reader told to
// wait leaves the bytes in the reply, whose bounded read buffer then stops the connection, so the
// server is held back by the network itself and no thread ever sleeps. The bucket holds at most a
// tenth of a second of the rate, so an idle moment does not turn into a burst.
class SpeedLimit
{
public:
    using Clock = std::chrono::steady_clock;

    // 0 or less: no limit. Takes effect at once for every reader.
    void setBytesPerSecond(qint64 rate);
    qint64 bytesPerSecond() const;
    // How many of `wanted` bytes may be taken now: all of them without a limit, none when the
    // reader is to wait (waitMs() says how long).
    qint64 take(qint64 wanted);
    // How long a reader told to wait waits before it asks again: until the bucket holds a useful
    // amount, and never so long that a raised or lifted limit goes unnoticed.
    int waitMs() const;

    // What one connection paced by this limit may hold unread, in the kernel and in the reply:
    // a tenth of a second of the rate, at least 64 KiB; 0 without a limit. With the usual
    // megabytes the server fills them at the network's speed and runs seconds ahead of the limit.
    qint64 connectionBuffer() const;

    static constexpr int longestWaitMs = 100;

private:
    void refill(Clock::time_point now);
    // The least a reader is given at once, so reads do not crumble into a few bytes each.
    qint64 grain() const;

    mutable std::mutex mutex;
    qint64 rate = 0;
    double tokens = 0;
    Clock::time_point filledAt;
};
