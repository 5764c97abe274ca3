#include "app/commspage.h"
#include "app/form1.h"
#include "app/modempage.h"
#include "config/displaytext.h"

#include <QPushButton>

namespace korva
{

namespace
{

const QByteArray kEnterCommandMode = QByteArrayLiteral("+++");
const QByteArray kLeaveCommandMode = QByteArrayLiteral("---");

} // namespace

void Form1::OpenComms()
{
    showBusyPointer();
    setStatus(QStringLiteral("Connecting..."));
    if (auto failure = m_MSComm1.setSettings(m_comms->baudList()->currentText().trimmed() +
                                             QStringLiteral(",n,8,1")))
        return reportOpenFailure(*failure);
    setConfigButtonsEnabled(false);
    m_modem->refreshButton()->setEnabled(false);
    if (auto failure = m_MSComm1.setCommPort(m_selectedPort))
        return reportOpenFailure(*failure);
    if (m_MSComm1.portOpen())
        m_MSComm1.setPortOpen(false);
    if (auto failure = m_MSComm1.setPortOpen(true))
        return reportOpenFailure(*failure);
    m_connect->setText(QStringLiteral("Disconnect"));
    m_modem->refreshButton()->setEnabled(true);
    setStatus(QStringLiteral("Connected to COMM ") +
              shortenedForDisplay(m_selectedPort, kShownPathLength));
    showDefaultPointer();
}

void Form1::reportOpenFailure(const PortFailure &failure)
{
    showDefaultPointer();
    if (failure.kind == PortFailure::Kind::InvalidPort) {
        showError(QStringLiteral("Please select a valid comms port"), applicationTitle());
        setStatus(QStringLiteral("Invalid port"));
    } else {
        showError(QStringLiteral("Error: ") + failure.description, QStringLiteral("Error"));
        setStatus(QStringLiteral("Error!! ") + failure.description);
    }
}

void Form1::CloseComms()
{
    if (m_MSComm1.portOpen()) {
        m_MSComm1.setPortOpen(false);
        m_connect->setText(QStringLiteral("Connect"));
    }
    setConfigButtonsEnabled(false);
    m_modem->refreshButton()->setEnabled(false);
    setStatus(QStringLiteral("Disconnected"));
}

void Form1::EnterATMode()
{
    if (!m_MSComm1.portOpen())
        return;
    m_MSComm1.output(kEnterCommandMode);
    setStatus(QString());
}

void Form1::CloseATMode()
{
    if (!m_MSComm1.portOpen())
        return;
    m_MSComm1.output(kLeaveCommandMode);
}

void Form1::onPortFailed(const PortFailure &failure)
{
    // The port is already closed; bring the window to the disconnected state and
    // let a running operation end at its next step.
    m_portLost = true;
    m_connect->setText(QStringLiteral("Connect"));
    setConfigButtonsEnabled(false);
    m_modem->refreshButton()->setEnabled(false);
    if (m_closing)
        return;
    showError(QStringLiteral("Error: ") + failure.description, QStringLiteral("Error"));
    setStatus(QStringLiteral("Error!! ") + failure.description);
}

void Form1::onConnectClicked()
{
    if (m_operationRunning)
        return;
    Operation operation(*this);
    if (m_MSComm1.portOpen()) {
        CloseComms();
        return;
    }
    OpenComms();
    requestConfiguration();
}

void Form1::onPortChosen()
{
    if (m_operationRunning)
        return restoreListText(m_comms->portList(), m_acceptedPort);
    Operation operation(*this);
    m_acceptedPort = m_comms->portList()->currentText();
    CloseComms();
    m_selectedPort = m_comms->portList()->currentText();
    OpenComms();
    requestConfiguration();
}

void Form1::onBaudChosen()
{
    if (m_operationRunning)
        return restoreListText(m_comms->baudList(), m_acceptedBaud);
    m_acceptedBaud = m_comms->baudList()->currentText();
    if (!m_MSComm1.portOpen())
        return;
    Operation operation(*this);
    CloseComms();
    m_selectedPort = m_comms->portList()->currentText();
    OpenComms();
    requestConfiguration();
}

void Form1::restoreListText(QComboBox *list, const QString &text)
{
    showListText(list, text);
}

} // namespace korva
