#include "serial/systemportscan.h"

#include <QMutex>
#include <QThreadPool>

namespace korva
{

// Shared with the scans under way: whom to hand a result to, while it exists.
struct SystemPortScan::Owner {
    QMutex mutex;
    SystemPortScan *scan = nullptr;
};

SystemPortScan::SystemPortScan(QObject *parent)
    : QObject(parent), m_owner(std::make_shared<Owner>())
{
    m_owner->scan = this;
}

SystemPortScan::~SystemPortScan()
{
    const QMutexLocker lock(&m_owner->mutex);
    m_owner->scan = nullptr;
}

void SystemPortScan::start()
{
    if (m_running)
        return;
    m_running = true;
    QThreadPool::globalInstance()->start([owner = m_owner] {
        const QList<SystemPort> scanned = scanSystemPorts();
        // Posted while the owner cannot go; a posted call to an object that goes
        // before it runs is dropped with the object.
        const QMutexLocker lock(&owner->mutex);
        if (SystemPortScan *scan = owner->scan) {
            QMetaObject::invokeMethod(
                scan,
                [scan, scanned] {
                    scan->m_running = false;
                    emit scan->finished(scanned);
                },
                Qt::QueuedConnection);
        }
    });
}

} // namespace korva
