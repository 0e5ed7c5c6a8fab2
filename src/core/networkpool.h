#pragma once

#include <QList>
#include <QObject>

class QNetworkAccessManager;

// Network managers shared out among many transfers at once, each transfer on the least busy one.
// Qt serves every connection of one manager on one thread (HTTPS, and whatever goes through a
// proxy; plain HTTP goes over HttpNetwork's own connections): thousands of small files kept that
// one thread busy while other cores idled. The connections to the server are as many as with one
// manager: one per transfer in flight.
class NetworkPool : public QObject
{
    Q_OBJECT

public:
    // One manager per core, up to the most transfers that can run at once (8), each giving up on
    // a transfer that makes no progress for `transferTimeoutMs`.
    explicit NetworkPool(int transferTimeoutMs, QObject *parent = nullptr);

    // The manager with the fewest transfers; every acquire() is matched by one release().
    QNetworkAccessManager *acquire();
    void release(QNetworkAccessManager *manager);

private:
    QList<QNetworkAccessManager *> managers;
    QList<int> load;
};
