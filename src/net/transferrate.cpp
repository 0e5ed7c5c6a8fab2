#include "net/transferrate.h"

#include <algorithm>
#include <cmath>

void TransferRate::add(qint64 bytesDone, qint64 nowMs)
{
    if (!samples.empty() && (bytesDone < samples.back().second || nowMs < samples.back().first))
        samples.clear();
    samples.emplace_back(nowMs, bytesDone);
    // Keep one reading older than the window, so the thirds always span it whole.
    while (samples.size() > 2 && nowMs - samples[1].first >= windowMs)
        samples.pop_front();
}

qint64 TransferRate::spanMs() const
{
    return samples.size() < 2 ? 0 : samples.back().first - samples.front().first;
}

double TransferRate::bytesAt(double timeMs) const
{
    auto after = std::lower_bound(
        samples.begin(), samples.end(), timeMs,
        [](const std::pair<qint64, qint64> &sample, double t) { return double(sample.first) < t; });
    if (after == samples.begin())
        return double(after->second);
    if (after == samples.end())
        return double(samples.back().second);
    const auto before = std::prev(after);
    const double part = (timeMs - double(before->first)) / double(after->first - before->first);
    return double(before->second) + part * double(after->second - before->second);
}

double TransferRate::bytesPerSecond() const
{
    const qint64 span = spanMs();
    if (span < speedAfterMs)
        return -1;
    const double start = double(samples.back().first - qMin(span, windowMs));
    const double third = double(qMin(span, windowMs)) / 3;
    double speeds[3];
    for (int i = 0; i < 3; ++i)
        speeds[i] = (bytesAt(start + third * (i + 1)) - bytesAt(start + third * i)) * 1000 / third;
    std::sort(std::begin(speeds), std::end(speeds));
    return speeds[1];
}

qint64 TransferRate::secondsLeft(qint64 remainingBytes) const
{
    const double rate = bytesPerSecond();
    if (spanMs() < estimateAfterMs || rate <= 0)
        return -1;
    // Rounded up, past the last bits of the thirds' floating-point arithmetic.
    return qint64(std::ceil(double(qMax<qint64>(remainingBytes, 0)) / rate - 1e-6));
}
