#include "ui/quantitytext.h"

#include <QCoreApplication>
#include <QLocale>

#include <cmath>

namespace quantitytext {

namespace {

constexpr double kilobyte = 1024.0;
constexpr double megabyte = kilobyte * 1024;
constexpr double gigabyte = megabyte * 1024;

// The context of these texts in the translations.
class QuantityText
{
    Q_DECLARE_TR_FUNCTIONS(QuantityText)
};

QString decimal(double value, int decimals)
{
    return QLocale().toString(value, 'f', decimals);
}

} // namespace

QString size(qint64 bytes)
{
    const double amount = double(bytes);
    if (amount < kilobyte)
        return QuantityText::tr("%1 B").arg(QLocale().toString(bytes));
    if (amount < megabyte)
        return QuantityText::tr("%1 KB").arg(decimal(amount / kilobyte, 0));
    if (amount < gigabyte)
        return QuantityText::tr("%1 MB").arg(decimal(amount / megabyte, 1));
    return QuantityText::tr("%1 GB").arg(decimal(amount / gigabyte, 1));
}

QString megabytes(qint64 bytes, int decimals)
{
    return decimal(double(bytes) / megabyte, decimals);
}

QString doneOfTotal(qint64 done, qint64 total)
{
    if (double(total) >= gigabyte)
        return QuantityText::tr("%1 / %2 GB")
            .arg(decimal(double(done) / gigabyte, 1), decimal(double(total) / gigabyte, 1));
    return QuantityText::tr("%1 / %2 MB")
        .arg(decimal(double(done) / megabyte, 1), decimal(double(total) / megabyte, 1));
}

QString rate(double bytesPerSecond)
{
    if (bytesPerSecond < megabyte)
        return QuantityText::tr("%1 KB/s").arg(decimal(bytesPerSecond / kilobyte, 0));
    const double megabytes = bytesPerSecond / megabyte;
    return QuantityText::tr("%1 MB/s").arg(decimal(megabytes, megabytes < 10 ? 1 : 0));
}

QString timeLeft(qint64 seconds)
{
    // Rounded up, in the unit a person would say.
    const qint64 minutes = (seconds + 59) / 60;
    if (seconds <= 55)
        return QuantityText::tr("about %1 s left")
            .arg(QLocale().toString(qMax<qint64>(5, (seconds + 4) / 5 * 5)));
    if (minutes < 60)
        return QuantityText::tr("about %1 min left").arg(QLocale().toString(minutes));
    if (minutes % 60 == 0)
        return QuantityText::tr("about %1 h left").arg(QLocale().toString(minutes / 60));
    return QuantityText::tr("about %1 h %2 min left")
        .arg(QLocale().toString(minutes / 60), QLocale().toString(minutes % 60));
}

QString progressSuffix(double bytesPerSecond, qint64 secondsLeft)
{
    if (bytesPerSecond < 0)
        return QString();
    const QString separator = QStringLiteral(" · ");
    QString text = separator + rate(bytesPerSecond);
    if (secondsLeft >= 0)
        text += separator + timeLeft(secondsLeft);
    return text;
}

double speedLimitShown(int kilobytesPerSecond)
{
    if (kilobytesPerSecond <= 0)
        return 0;
    return qMax(0.01, kilobytesPerSecond / kilobyte);
}

int speedLimitStored(double megabytesPerSecond)
{
    return int(std::lround(megabytesPerSecond * kilobyte));
}

} // namespace quantitytext
