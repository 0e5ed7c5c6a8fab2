#include "core/networkpool.h"

#include "core/httpnetwork.h"

#include <QThread>

#include <algorithm>

NetworkPool::NetworkPool(int transferTimeoutMs, QObject *parent) : QObject(parent)
{
    const int size = std::clamp(QThread::idealThreadCount(), 1, 8);
    for (int i = 0; i < size; ++i) {
        auto *manager = new HttpNetwork(this);
        manager->setTransferTimeout(transferTimeoutMs);
        managers.append(manager);
        load.append(0);
    }
}

QNetworkAccessManager *NetworkPool::acquire()
{
    const auto least = std::min_element(load.begin(), load.end());
    ++*least;
    return managers.at(int(least - load.begin()));
}

void NetworkPool::release(QNetworkAccessManager *manager)
{
    const qsizetype index = managers.indexOf(manager);
    if (index >= 0 && load[index] > 0)
        --load[index];
}
