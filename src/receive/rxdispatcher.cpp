#include "receive/rxdispatcher.h"

#include "serial/mscomm.h"

namespace korva
{

RxDispatcher::RxDispatcher(MSComm &port, QObject *parent) : QObject(parent), m_port(port)
{
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer1.setInterval(kBurstSilenceMs);
    connect(&m_timer1, &QTimer::timeout, this, &RxDispatcher::burstEnded);
    connect(&m_port, &MSComm::OnComm, this, &RxDispatcher::onComm);
}

void RxDispatcher::restartTimer1()
{
    m_timer1.stop();
    m_timer1.setInterval(kBurstSilenceMs);
    m_timer1.start();
}

void RxDispatcher::onComm()
{
    // Any activity on the port postpones the end of the burst.
    restartTimer1();
    const QByteArray received = m_port.input();
    if (received.isEmpty())
        return;
    // Every byte counts, 0xA5 included: the block has no filler, and skipping a
    // byte would shift every later field of the configuration by one.
    m_rxBuffer[static_cast<size_t>(m_rxIndex)] = received;
    m_filled = qMin(m_filled + 1, kSlots);
    m_rxIndex = (m_rxIndex + 1) % kSlots;
    restartTimer1();
    m_awaitingReply = false;
}

void RxDispatcher::clearBuffer()
{
    for (QByteArray &slot : m_rxBuffer)
        slot.clear();
    // A burst under way is gone with its slots; Timer1, left running for it, would
    // end the next burst before a slow answer had begun.
    if (m_filled > 0)
        m_timer1.stop();
    m_rxIndex = 0;
    m_filled = 0;
}

void RxDispatcher::rewind()
{
    m_rxIndex = 0;
    m_filled = 0;
    m_timer1.stop();
}

QByteArray RxDispatcher::burst() const
{
    QByteArray bytes;
    bytes.reserve(m_filled);
    for (int i = 0; i < m_filled; ++i)
        bytes.append(m_rxBuffer[static_cast<size_t>(i)].left(1));
    return bytes;
}

} // namespace korva
