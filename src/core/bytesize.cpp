#include "core/bytesize.h"

QString bytesIn(qint64 bytes, ByteUnit unit, int decimals)
{
    double amount = double(bytes);
    for (int step = 0; step < int(unit); ++step)
        amount /= 1024;
    return QString::number(amount, 'f', decimals);
}
