#pragma once

#include <QEventLoop>
#include <QMutex>

namespace korva::production
{

// Something one thread finishes while another waits for it in an event loop, so
// the waiting thread keeps handling its own events (a stop, a wake) meanwhile.
// Shared between the two threads, e.g. through a std::shared_ptr.
class Completion
{
public:
    // From any thread: marks it done and ends the waiting loop, if any.
    void finish()
    {
        QMutexLocker lock(&m_mutex);
        m_done = true;
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
    }

    bool done() const
    {
        QMutexLocker lock(&m_mutex);
        return m_done;
    }

    // Runs `loop` on the calling thread unless done already; finish() ends it, and
    // so does anything else that quits it (a timer, a stop). True once done.
    bool wait(QEventLoop &loop)
    {
        {
            QMutexLocker lock(&m_mutex);
            if (m_done)
                return true;
            m_loop = &loop;
        }
        loop.exec();
        QMutexLocker lock(&m_mutex);
        // A quit posted after the loop ended is dropped with the loop.
        m_loop = nullptr;
        return m_done;
    }

private:
    mutable QMutex m_mutex;
    bool m_done = false;
    QEventLoop *m_loop = nullptr;
};

} // namespace korva::production
