#include "net/speedlimit.h"

#include <algorithm>
#include <cmath>

void SpeedLimit::setBytesPerSecond(qint64 newRate)
{
    std::lock_guard<std::mutex> lock(mutex);
    const qint64 wanted = std::max<qint64>(0, newRate);
    if (wanted == rate)
        return;
    rate = wanted;
    // A new rate starts from an empty bucket: what the old one had saved is not the new one's.
    tokens = 0;
    filledAt = Clock::now();
}

qint64 SpeedLimit::bytesPerSecond() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return rate;
}

void SpeedLimit::refill(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - filledAt).count();
    filledAt = now;
    const double capacity = std::max(double(rate) / 10.0, double(grain()));
    tokens = std::min(capacity, tokens + seconds * double(rate));
}

qint64 SpeedLimit::grain() const
{
    return std::clamp<qint64>(rate / 50, 1, 64 * 1024);
}

qint64 SpeedLimit::take(qint64 wanted)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (rate <= 0 || wanted <= 0)
        return wanted;
    refill(Clock::now());
    if (tokens < double(std::min(wanted, grain())))
        return 0;
    const qint64 granted = std::min(wanted, qint64(tokens));
    tokens -= double(granted);
    return granted;
}

qint64 SpeedLimit::connectionBuffer() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return rate <= 0 ? 0 : std::max<qint64>(rate / 10, 64 * 1024);
}

int SpeedLimit::waitMs() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (rate <= 0)
        return 0;
    const double missing = double(grain()) - tokens;
    const int ms = int(std::ceil(std::max(0.0, missing) * 1000.0 / double(rate)));
    return std::clamp(ms, 1, longestWaitMs);
}
