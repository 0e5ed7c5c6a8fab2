#include "core/networkpool.h"

#include <QNetworkAccessManager>

#include <algorithm>

NetworkPool::NetworkPool(int size, int transferTimeoutMs, QObject *parent) : QObject(parent)
{
    for (int i = 0; i < std::max(1, size); ++i) {
        auto *manager = new QNetworkAccessManager(this);
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
