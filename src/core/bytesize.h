#pragma once

#include <QString>
#include <QtGlobal>

// The units a byte count is shown in, each 1024 of the one before.
enum class ByteUnit
{
    Kilobytes = 1,
    Megabytes = 2,
    Gigabytes = 3
};

// `bytes` as a number of `unit` with `decimals` decimals ("12.34"); the unit's name is the
// caller's, since it belongs to a translated text.
QString bytesIn(qint64 bytes, ByteUnit unit, int decimals);
