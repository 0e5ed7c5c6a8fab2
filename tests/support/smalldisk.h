#pragma once

#include <QString>

namespace testsupport {

// A small file system of its own (a tmpfs of `megabytes` MiB) mounted on `folder` for as long as
// the object lives: a disk that fills up. Mounting needs root; where it cannot be had, isMounted()
// is false and problem() says why.
class SmallDisk
{
public:
    SmallDisk(const QString &folder, int megabytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool isMounted() const { return mounted; }
    QString problem() const { return why; }

private:
    QString folder;
    bool mounted = false;
    QString why;
};

} // namespace testsupport
