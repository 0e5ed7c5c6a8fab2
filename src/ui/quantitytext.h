#pragma once

#include <QString>
#include <QtGlobal>

// How the window writes amounts for the player: every number in the player's locale (the default
// QLocale, which the interface's language sets), sizes in one convention, multiples of 1024 named
// KB, MB and GB as Windows names them, and rates in the same units per second, the Settings
// speed limit included.
namespace quantitytext {

// "820 B", "515 KB", "16.0 MB", "1.5 GB": the unit that keeps the number below 1024.
QString size(qint64 bytes);
// `bytes` as a number of MB with `decimals` decimals, for texts that name the unit themselves.
QString megabytes(qint64 bytes, int decimals);
// "1.2 / 9.8 GB", or in MB below a gigabyte.
QString doneOfTotal(qint64 done, qint64 total);
// "32 KB/s" below 1 MB/s, "8.4 MB/s" below 10, "40 MB/s" above.
QString rate(double bytesPerSecond);
// "about 40 s left" (rounded up to 5 s), "about 3 min left", "about 2 h 5 min left".
QString timeLeft(qint64 seconds);
// What follows a progress line: " · 8.4 MB/s · about 3 min left", " · 8.4 MB/s", or nothing
// (a negative rate or time: not known yet).
QString progressSuffix(double bytesPerSecond, qint64 secondsLeft);

// The Settings speed limit is shown in MB/s and stored in KB/s (0: none); a stored limit too
// small for the box's two decimals shows as the smallest step, never as "no limit".
double speedLimitShown(int kilobytesPerSecond);
int speedLimitStored(double megabytesPerSecond);

} // namespace quantitytext
