#include "module/pause.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace korva
{

bool Pause::wait(int ms)
{
    QElapsedTimer clock;
    clock.start();
    return waitSince(clock, ms);
}

bool Pause::waitSince(const QElapsedTimer &from, int ms)
{
    const qint64 lengthNs = qint64(ms) * 1000000;
    while (!m_aborted) {
        const qint64 leftNs = lengthNs - from.nsecsElapsed();
        if (leftNs < 0)
            return true;
        QEventLoop loop;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setSingleShot(true);
        bool timedOut = false;
        QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
            timedOut = true;
            loop.quit();
        });
        // Two milliseconds beyond the length: one timer period covers the whole
        // wait, and a reader that stamps bytes a little late still sees a gap on
        // the wire no shorter than the pause.
        timer.start(int(leftNs / 1000000) + 3);
        m_loops.append(&loop);
        loop.exec();
        m_loops.removeOne(&loop);
        // A loop that ended without its timer was ended from outside (quit).
        if (!timedOut)
            return false;
    }
    return false;
}

void Pause::abort()
{
    m_aborted = true;
    interrupt();
}

void Pause::interrupt()
{
    for (QEventLoop *loop : std::as_const(m_loops))
        loop->quit();
}

} // namespace korva
