#pragma once

#include "serial/portmap.h"

#include <QList>
#include <QObject>

#include <memory>

namespace korva
{

// Scans the system's serial ports on a worker thread and hands the result to
// the thread that owns this object, so that a window never waits for the scan.
// One scan at a time: a start while one runs is covered by that one. A scan
// still running when this object goes is finished and dropped.
class SystemPortScan : public QObject
{
    Q_OBJECT
public:
    explicit SystemPortScan(QObject *parent = nullptr);
    ~SystemPortScan() override;

    void start();

signals:
    // The ports as scanSystemPorts() returns them.
    void finished(const QList<korva::SystemPort> &scanned);

private:
    struct Owner;

    std::shared_ptr<Owner> m_owner;
    bool m_running = false;
};

} // namespace korva
