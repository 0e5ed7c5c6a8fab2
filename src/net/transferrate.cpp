#include "net/transferrate.h"

#include <QCoreApplication>

#include <cmath>

void TransferRate::add(qint64 bytesDone, qint64 nowMs)
{
    if (!samples.empty() && (bytesDone < samples.back().second || nowMs < samples.back().first))
        samples.clear();
    samples.emplace_back(nowMs, bytesDone);
    // Keep one reading older than the window, so the average always spans it whole.
    while (samples.size() > 2 && nowMs - samples[1].first >= windowMs)
        samples.pop_front();
}

qint64 TransferRate::spanMs() const
{
    return samples.size() < 2 ? 0 : samples.back().first - samples.front().first;
}

double TransferRate::bytesPerSecond() const
{
    const qint64 span = spanMs();
    if (span < speedAfterMs)
        return -1;
    return double(samples.back().second - samples.front().second) * 1000.0 / double(span);
}

qint64 TransferRate::secondsLeft(qint64 remainingBytes) const
{
    const double rate = bytesPerSecond();
    if (spanMs() < estimateAfterMs || rate <= 0)
        return -1;
    return qint64(std::ceil(double(qMax<qint64>(remainingBytes, 0)) / rate));
}

QString TransferRate::suffix(qint64 remainingBytes) const
{
    const double rate = bytesPerSecond();
    if (rate < 0)
        return QString();
    const double megabytes = rate / 1024 / 1024;
    QString text = QCoreApplication::translate("TransferRate", " · %1 MB/s")
                       .arg(megabytes, 0, 'f', megabytes < 10 ? 1 : 0);
    const qint64 seconds = secondsLeft(remainingBytes);
    if (seconds < 0 || rate <= 0)
        return text;
    // Rounded up, in the unit a person would say: "about 40 s", "about 3 min", "about 2 h 5 min".
    const qint64 minutes = (seconds + 59) / 60;
    if (seconds <= 55)
        text += QCoreApplication::translate("TransferRate", " · about %1 s left")
                    .arg(qMax<qint64>(5, (seconds + 4) / 5 * 5));
    else if (minutes < 60)
        text += QCoreApplication::translate("TransferRate", " · about %1 min left").arg(minutes);
    else if (minutes % 60 == 0)
        text += QCoreApplication::translate("TransferRate", " · about %1 h left").arg(minutes / 60);
    else
        text += QCoreApplication::translate("TransferRate", " · about %1 h %2 min left")
                    .arg(minutes / 60)
                    .arg(minutes % 60);
    return text;
}
