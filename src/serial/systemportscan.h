#pragma once

#include "serial/portmap.h"

#include <QList>
#include <QObject>

namespace korva
{

// Scans the system's serial ports on a worker thread and hands the result to
// the thread that owns this object, so that a window never waits for the scan.
// One scan at a time: a start while one runs is covered by that one.
class SystemPortScan : public QObject
{
    Q_OBJECT
public:
    explicit SystemPortScan(QObject *parent = nullptr);

    void start();
    bool running() const { return m_running; }

signals:
    // The ports as scanSystemPorts() returns them.
    void finished(const QList<korva::SystemPort> &scanned);

private:
    bool m_running = false;
};

} // namespace korva
