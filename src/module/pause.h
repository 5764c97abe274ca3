#pragma once

#include <QList>

class QEventLoop;

namespace korva
{

// Waits a fixed time while window events (clicks, OnComm, Timer1) keep running,
// in a nested event loop rather than a spin.
class Pause
{
public:
    // Returns true once more than `ms` milliseconds have passed, false when the
    // wait was cut short by abort() or by the application quitting.
    bool wait(int ms);
    // Ends every running wait at once; waits started afterwards end at once too.
    void abort();

private:
    QList<QEventLoop *> m_loops;
    bool m_aborted = false;
};

} // namespace korva
