#include "serial/systemportscan.h"

#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <memory>

namespace korva
{

SystemPortScan::SystemPortScan(QObject *parent) : QObject(parent) {}

void SystemPortScan::start()
{
    if (m_running)
        return;
    m_running = true;
    auto promise = std::make_shared<QPromise<QList<SystemPort>>>();
    // The continuation runs on this object's thread, and not at all once this
    // object is gone; the pool's thread only ever touches the promise.
    promise->future().then(this, [this](const QList<SystemPort> &scanned) {
        m_running = false;
        emit finished(scanned);
    });
    QThreadPool::globalInstance()->start([promise] {
        promise->start();
        promise->addResult(scanSystemPorts());
        promise->finish();
    });
}

} // namespace korva
