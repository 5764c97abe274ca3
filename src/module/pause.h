#pragma once

#include <QList>

class QElapsedTimer;
class QEventLoop;

namespace korva
{

// Waits a fixed time while window events (clicks, OnComm, Timer1) keep running,
// in a nested event loop rather than a spin.
class Pause
{
public:
    // Returns true once more than `ms` milliseconds have passed, false when the
    // wait was cut short by abort(), interrupt() or the application quitting.
    bool wait(int ms);
    // As wait(), counted from the moment `from` was started: a step that came
    // later than that moment waits only for the rest.
    bool waitSince(const QElapsedTimer &from, int ms);
    // Ends every running wait at once; waits started afterwards end at once too.
    void abort();
    // Ends the waits running now; waits started afterwards run their length.
    void interrupt();

private:
    QList<QEventLoop *> m_loops;
    bool m_aborted = false;
};

} // namespace korva
