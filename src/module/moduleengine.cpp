#include "module/moduleengine.h"

#include "module/commandmodegate.h"

#include <QEventLoop>
#include <QTimer>

namespace korva
{

namespace
{

const QByteArray kEnterCommandMode = QByteArrayLiteral("+++");
const QByteArray kLeaveCommandMode = QByteArrayLiteral("---");

constexpr int kBeforePacketMs = 200;
constexpr int kAfterPacketMs = 200;
constexpr int kBeforeReadBackMs = 500;

} // namespace

ModuleEngine::ModuleEngine(QObject *parent) : QObject(parent), m_receiver(m_MSComm1)
{
    m_MSComm1.setObjectName(QStringLiteral("MSComm1"));
    connect(&m_receiver, &RxDispatcher::burstEnded, this, &ModuleEngine::onBurstEnded);
    connect(&m_MSComm1, &MSComm::failed, this, &ModuleEngine::onPortFailed);
}

ModuleEngine::~ModuleEngine()
{
    leaveCommandMode();
}

ModuleEngine::Operation::Operation(ModuleEngine &engine) : m_engine(engine)
{
    m_engine.m_operationRunning = true;
    m_engine.m_portLost = false;
    m_engine.m_packetOut = false;
}

ModuleEngine::Operation::~Operation()
{
    m_engine.m_operationRunning = false;
}

std::optional<PortFailure> ModuleEngine::setLineRate(const QString &rate)
{
    return m_MSComm1.setSettings(rate.trimmed() + QStringLiteral(",n,8,1"));
}

std::optional<PortFailure> ModuleEngine::openPort(const QString &number)
{
    if (auto failure = m_MSComm1.setCommPort(number))
        return failure;
    if (m_MSComm1.portOpen())
        m_MSComm1.setPortOpen(false);
    return m_MSComm1.setPortOpen(true);
}

std::optional<PortFailure> ModuleEngine::openDevice(const QString &path)
{
    if (auto failure = m_MSComm1.setDevicePath(path))
        return failure;
    if (m_MSComm1.portOpen())
        m_MSComm1.setPortOpen(false);
    return m_MSComm1.setPortOpen(true);
}

void ModuleEngine::closePort()
{
    m_verifyPacket.clear();
    m_MSComm1.setPortOpen(false);
    leaveCommandMode();
}

void ModuleEngine::EnterATMode()
{
    if (!m_MSComm1.portOpen())
        return;
    // A module already in command mode holds its place at the gate; a new one
    // waits there while the process is about to be suspended.
    if (!m_inCommandMode)
        CommandModeGate::enter();
    m_inCommandMode = true;
    m_MSComm1.output(kEnterCommandMode);
    emit statusChanged(QString());
}

void ModuleEngine::CloseATMode()
{
    if (m_MSComm1.portOpen()) {
        m_MSComm1.output(kLeaveCommandMode);
        m_sinceDataMode.start();
    }
    // Without a line nothing more can be sent: the module is no longer held.
    leaveCommandMode();
}

void ModuleEngine::leaveCommandMode()
{
    if (!m_inCommandMode)
        return;
    m_inCommandMode = false;
    CommandModeGate::leave();
}

QString ModuleEngine::band() const
{
    return m_bandSource ? m_bandSource() : QString();
}

bool ModuleEngine::mustEnd() const
{
    return m_portLost || m_closing || m_stopNow || (m_stopRequested && !m_packetOut);
}

bool ModuleEngine::pauseWithin(int ms)
{
    QElapsedTimer from;
    from.start();
    return pauseSince(from, ms);
}

bool ModuleEngine::pauseSince(const QElapsedTimer &from, int ms)
{
    if (m_pause.waitSince(from, ms) && !mustEnd())
        return true;
    // A stop never cuts a pause in command mode short, so this "---" keeps its
    // distance from the bytes before it; a closing window sends its own.
    if (!m_closing && m_inCommandMode)
        CloseATMode();
    emit busyChanged(false);
    emit stoppedEarly();
    return false;
}

void ModuleEngine::requestConfiguration()
{
    // A request of its own reads the module afresh: nothing to check it against.
    m_verifyPacket.clear();
    runRequest();
}

void ModuleEngine::runRequest()
{
    emit busyChanged(true);
    emit requestStarted();
    // The answer to this request starts a burst of its own at slot 0, whatever
    // arrived just before it.
    m_receiver.clearBuffer();
    emit statusChanged(QStringLiteral("Requesting Configuration..."));
    m_receiver.setAwaitingReply(true);
    m_configExpected = true;
    // Bytes that arrived unread before "+++" (radio traffic in data mode) would
    // otherwise lead the answer and shift every field.
    m_MSComm1.discardInput();
    EnterATMode();
    if (!pauseWithin(kRequestPauseMs))
        return;
    CloseATMode();
    emit statusChanged(m_receiver.awaitingReply()
                           ? QStringLiteral("No Response from Modem. Check Comms Port & Baud rate")
                           : QStringLiteral("Request Complete"));
    emit busyChanged(false);
}

void ModuleEngine::onBurstEnded()
{
    if (m_configExpected) {
        const QByteArray block = m_receiver.burst().left(kBlockSize);
        const DecodedBlock decoded = decodeBlock(block, band(), m_channel);
        m_channel = decoded.channel;
        m_lastBlock = block;
        m_lastTexts = decoded.texts;
        ++m_decodedCount;
        emit configurationDecoded(block, decoded.texts);
        if (!m_verifyPacket.isEmpty()) {
            m_lastMismatches = readBackMismatches(m_verifyPacket, band(), decoded.texts);
            m_verifyPacket.clear();
            emit readBackChecked(*m_lastMismatches);
        }
        m_configExpected = false;
        if (m_answerLoop)
            m_answerLoop->quit();
    }
    m_receiver.rewind();
}

bool ModuleEngine::SendConfigPacket()
{
    const ConfigTexts texts = m_textsSource ? m_textsSource() : placeholderTexts();
    const EncodeResult result = encodePacket(texts, band(), m_channel, m_codeForms);
    m_channel = result.channel;
    m_lastPacket.clear();
    if (result.failure) {
        m_lastRefusal = result.failure;
        emit packetRefused(*result.failure);
        return false;
    }
    // A packet counts as written once any of it may leave: such a unit's address
    // is never given again. Only one the device provably never took is not.
    if (m_MSComm1.output(result.packet) != MSComm::Sent::Nothing)
        m_lastPacket = result.packet;
    return true;
}

void ModuleEngine::sendConfiguration()
{
    emit busyChanged(true);
    emit statusChanged(QStringLiteral("Sending Configuration..."));
    m_configExpected = false;
    EnterATMode();
    QElapsedTimer sinceEnter;
    sinceEnter.start();
    setFromPacket(sinceEnter);
}

void ModuleEngine::setFromPacket(const QElapsedTimer &sinceEnter)
{
    m_verifyPacket.clear();
    m_packetOut = false;
    if (!pauseSince(sinceEnter, kBeforePacketMs))
        return;
    const QByteArray written = SendConfigPacket() ? m_lastPacket : QByteArray();
    m_packetOut = !written.isEmpty();
    if (!pauseWithin(kAfterPacketMs))
        return;
    CloseATMode();
    m_configExpected = true;
    if (!pauseWithin(kBeforeReadBackMs))
        return;
    emit statusChanged(QStringLiteral("Send Complete"));
    // Armed only now: a stray burst decoded during the pauses is no read-back.
    m_verifyPacket = written;
    runRequest();
    emit busyChanged(false);
}

ReadResult ModuleEngine::readConfiguration(int answerMs)
{
    Operation operation(*this);
    const int decodedBefore = m_decodedCount;
    requestConfiguration();
    return awaitDecoded(answerMs, decodedBefore);
}

WriteResult ModuleEngine::writeConfiguration(int answerMs)
{
    Operation operation(*this);
    m_lastPacket.clear();
    m_lastRefusal.reset();
    m_lastMismatches.reset();
    // Only the read-back's answer counts; the first "+++" is answered too, but
    // that answer arrives while no configuration is expected.
    const int decodedBefore = m_decodedCount;
    sendConfiguration();
    return collectWrite(answerMs, decodedBefore);
}

WriteResult ModuleEngine::collectWrite(int answerMs, int decodedBefore)
{
    WriteResult result;
    result.refused = m_lastRefusal;
    result.packet = m_lastPacket;
    result.readBack = awaitDecoded(answerMs, decodedBefore);
    result.mismatches = m_lastMismatches;
    m_packetOut = false;
    return result;
}

ReadResult ModuleEngine::awaitDecoded(int answerMs, int decodedBefore)
{
    const auto finished = [&] {
        return m_decodedCount != decodedBefore || mustEnd();
    };
    if (!finished() && m_MSComm1.portOpen()) {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(answerMs);
        m_answerLoop = &loop;
        loop.exec();
        m_answerLoop = nullptr;
    }
    ReadResult result;
    if (m_decodedCount != decodedBefore) {
        result.outcome = ReadResult::Outcome::Answered;
        result.block = m_lastBlock;
        result.texts = m_lastTexts;
    } else if (m_portLost || !m_MSComm1.portOpen()) {
        result.outcome = ReadResult::Outcome::PortLost;
    } else if (m_stopRequested || m_closing) {
        result.outcome = ReadResult::Outcome::Stopped;
    }
    return result;
}

void ModuleEngine::abort()
{
    m_closing = true;
    m_pause.abort();
    if (m_answerLoop)
        m_answerLoop->quit();
}

void ModuleEngine::requestStop()
{
    m_stopRequested = true;
    if (m_answerLoop && mustEnd())
        m_answerLoop->quit();
}

void ModuleEngine::stopNow()
{
    m_stopRequested = true;
    m_stopNow = true;
    if (!m_inCommandMode)
        m_pause.interrupt();
    if (m_answerLoop)
        m_answerLoop->quit();
}

void ModuleEngine::onPortFailed(const PortFailure &failure)
{
    // The port is already closed; a running operation ends at its next step.
    m_portLost = true;
    leaveCommandMode();
    m_verifyPacket.clear();
    if (m_answerLoop)
        m_answerLoop->quit();
    emit portFailed(failure);
}

} // namespace korva
