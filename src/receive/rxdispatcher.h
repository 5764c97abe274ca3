#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <array>

namespace korva
{

class MSComm;

// Collects what the module sends, one byte per slot of a 51-slot ring, and
// marks the end of a burst by 100 ms of silence on the line (Timer1).
class RxDispatcher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kSlots = 51;
    static constexpr int kBurstSilenceMs = 100;

    explicit RxDispatcher(MSComm &port, QObject *parent = nullptr);

    // One OnComm event: restart Timer1, read one byte of Input, store and count it.
    void onComm();

    // Empties every slot and starts the next burst at slot 0; Timer1 stops when it
    // was timing a burst that this drops.
    void clearBuffer();
    // Starts the next burst at slot 0 (RxIndex = 0) and stops Timer1.
    void rewind();

    // The bytes stored by the current burst, in slot order; slots that this burst
    // did not reach are not included, so no byte of an earlier burst is handed on.
    QByteArray burst() const;

    const std::array<QByteArray, kSlots> &rxBuffer() const { return m_rxBuffer; }
    int rxIndex() const { return m_rxIndex; }

    bool awaitingReply() const { return m_awaitingReply; }
    void setAwaitingReply(bool awaiting) { m_awaitingReply = awaiting; }

    QTimer &timer1() { return m_timer1; }

signals:
    // Timer1 fired: the line has been quiet for 100 ms since the last byte.
    void burstEnded();

private:
    void restartTimer1();

    MSComm &m_port;
    QTimer m_timer1;
    std::array<QByteArray, kSlots> m_rxBuffer;
    int m_rxIndex = 0;
    int m_filled = 0; // slots written by the current burst, at most kSlots
    bool m_awaitingReply = false;
};

} // namespace korva
