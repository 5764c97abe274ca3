#include "app/form1.h"
#include "app/modempage.h"
#include "app/prompts.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace korva
{

namespace
{

constexpr int kRequestPauseMs = 100;
constexpr int kBeforePacketMs = 200;
constexpr int kAfterPacketMs = 200;
constexpr int kBeforeReadBackMs = 500;

} // namespace

bool Form1::pauseWithin(int ms)
{
    if (m_pause.wait(ms) && !m_portLost && !m_closing)
        return true;
    stopOperation();
    return false;
}

void Form1::stopOperation()
{
    showDefaultPointer();
    // A lost port has already put its failure into the status; otherwise the
    // progress text would stay as if the operation were still under way.
    if (!m_portLost || m_closing)
        setStatus(QStringLiteral("Stopped: the window was closed"));
}

void Form1::requestConfiguration()
{
    showBusyPointer();
    m_modem->setTexts(placeholderTexts());
    // The answer to this request starts a burst of its own at slot 0, whatever
    // arrived just before it.
    m_receiver.clearBuffer();
    setStatus(QStringLiteral("Requesting Configuration..."));
    m_receiver.setAwaitingReply(true);
    m_configExpected = true;
    // Bytes that arrived unread before "+++" (radio traffic in data mode) would
    // otherwise lead the answer and shift every field.
    m_MSComm1.discardInput();
    EnterATMode();
    if (!pauseWithin(kRequestPauseMs))
        return;
    CloseATMode();
    setStatus(m_receiver.awaitingReply()
                  ? QStringLiteral("No Response from Modem. Check Comms Port & Baud rate")
                  : QStringLiteral("Request Complete"));
    showDefaultPointer();
}

void Form1::onTimer1()
{
    if (m_configExpected) {
        const QByteArray block = m_receiver.burst().left(kBlockSize);
        const DecodedBlock decoded =
            decodeBlock(block, m_modem->bandList()->currentText(), m_channel);
        m_modem->setTexts(decoded.texts);
        m_channel = decoded.channel;
        if (m_MSComm1.portOpen())
            setConfigButtonsEnabled(true);
        m_configExpected = false;
    }
    m_receiver.rewind();
}

bool Form1::SendConfigPacket()
{
    const EncodeResult result =
        encodePacket(m_modem->texts(), m_modem->bandList()->currentText(), m_channel);
    m_channel = result.channel;
    if (result.failure) {
        showError(result.failure->text, result.failure->title);
        return false;
    }
    m_MSComm1.output(result.packet);
    return true;
}

void Form1::sendConfiguration()
{
    showBusyPointer();
    setStatus(QStringLiteral("Sending Configuration..."));
    m_configExpected = false;
    EnterATMode();
    if (!pauseWithin(kBeforePacketMs))
        return;
    SendConfigPacket();
    if (!pauseWithin(kAfterPacketMs))
        return;
    CloseATMode();
    m_configExpected = true;
    if (!pauseWithin(kBeforeReadBackMs))
        return;
    setStatus(QStringLiteral("Send Complete"));
    requestConfiguration();
    showDefaultPointer();
}

void Form1::onRefreshClicked()
{
    if (m_operationRunning)
        return;
    Operation operation(*this);
    requestConfiguration();
}

void Form1::onSetClicked()
{
    if (m_operationRunning)
        return;
    Operation operation(*this);
    sendConfiguration();
}

void Form1::onResetDefaultsClicked()
{
    if (m_operationRunning)
        return;
    Operation operation(*this);
    if (!m_prompts->question(this,
                             QStringLiteral("This will reset the unit to Factory defaults.\r\n"
                                            "Continue?"),
                             applicationTitle()))
        return;
    // The device may have gone, or the window closed, while the question was open:
    // then nothing is changed or sent.
    if (m_closing || !m_MSComm1.portOpen())
        return;
    for (int i = 0; i < kAddressBytes; ++i)
        m_modem->addressBox(i)->setText(QStringLiteral("00"));
    sendConfiguration();
}

void Form1::onBandChosen()
{
    if (m_operationRunning)
        return restoreListText(m_modem->bandList(), m_acceptedBand);
    m_acceptedBand = m_modem->bandList()->currentText();
    Operation operation(*this);
    requestConfiguration();
}

void Form1::onBandEdited()
{
    // A key typed while an operation runs stays in the box but starts nothing.
    m_acceptedBand = m_modem->bandList()->currentText();
    if (m_operationRunning)
        return;
    Operation operation(*this);
    requestConfiguration();
}

} // namespace korva
