#include "module/moduleengine.h"

#include <QEventLoop>
#include <QTimer>

namespace korva
{

PollResult ModuleEngine::pollConfiguration(int answerMs, const PollDecision &decide)
{
    Operation operation(*this);
    PollResult result;
    // A module takes "---" only once the line has gone quiet after it, so the
    // next "+++" never follows it closely.
    if (m_sinceDataMode.isValid())
        m_pause.waitSince(m_sinceDataMode, kQuietAfterDataModeMs);
    if (!m_MSComm1.portOpen() || mustEnd()) {
        result.found.outcome =
            m_MSComm1.portOpen() ? ReadResult::Outcome::Stopped : ReadResult::Outcome::PortLost;
        return result;
    }

    emit busyChanged(true);
    m_lastPacket.clear();
    m_lastRefusal.reset();
    m_lastMismatches.reset();
    m_verifyPacket.clear();
    m_receiver.clearBuffer();
    m_receiver.setAwaitingReply(true);
    m_configExpected = true;
    m_MSComm1.discardInput();
    const int decodedBefore = m_decodedCount;
    EnterATMode();
    QElapsedTimer sinceEnter;
    sinceEnter.start();

    const QByteArray block = awaitBlock(sinceEnter, answerMs);
    if (block.size() == kBlockSize && !mustEnd()) {
        // Taken here: the end of this burst is not decoded a second time.
        m_configExpected = false;
        const DecodedBlock decoded = decodeBlock(block, band(), m_channel);
        m_channel = decoded.channel;
        result.found = ReadResult{ReadResult::Outcome::Answered, block, decoded.texts};
        if (decide(result.found)) {
            emit statusChanged(QStringLiteral("Sending Configuration..."));
            const int beforeReadBack = m_decodedCount;
            setFromPacket(sinceEnter);
            result.written = collectWrite(answerMs, beforeReadBack);
            return result;
        }
        leavePoll(sinceEnter);
        return result;
    }
    leavePoll(sinceEnter);
    result.found = pollAnswer(answerMs, decodedBefore);
    return result;
}

QByteArray ModuleEngine::awaitBlock(const QElapsedTimer &sinceEnter, int answerMs)
{
    QByteArray block;
    const auto whole = [&] {
        const QByteArray burst = m_receiver.burst();
        if (burst.size() >= kBlockSize)
            block = burst.left(kBlockSize);
        return !block.isEmpty();
    };
    if (whole() || mustEnd() || !m_MSComm1.portOpen())
        return block;
    QEventLoop loop;
    // The receive path stores each byte first, as it was connected first.
    const QMetaObject::Connection received = connect(&m_MSComm1, &MSComm::OnComm, &loop, [&] {
        if (whole())
            loop.quit();
    });
    QTimer began;
    began.setTimerType(Qt::PreciseTimer);
    began.setSingleShot(true);
    connect(&began, &QTimer::timeout, &loop, [&] {
        if (m_receiver.awaitingReply())
            loop.quit();
    });
    began.start(int(qMax<qint64>(0, kRequestPauseMs - sinceEnter.elapsed())));
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(kRequestPauseMs + answerMs);
    m_answerLoop = &loop;
    loop.exec();
    m_answerLoop = nullptr;
    disconnect(received);
    return block;
}

void ModuleEngine::leavePoll(const QElapsedTimer &sinceEnter)
{
    if (pauseSince(sinceEnter, kRequestPauseMs)) {
        CloseATMode();
        emit busyChanged(false);
    }
}

ReadResult ModuleEngine::pollAnswer(int answerMs, int decodedBefore)
{
    ReadResult found;
    if (m_portLost || !m_MSComm1.portOpen())
        found.outcome = ReadResult::Outcome::PortLost;
    else if (m_stopRequested || m_closing)
        found.outcome = ReadResult::Outcome::Stopped;
    else if (m_decodedCount != decodedBefore || !m_receiver.awaitingReply())
        found = awaitDecoded(answerMs, decodedBefore);
    return found;
}

} // namespace korva
