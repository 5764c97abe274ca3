#include "app/commspage.h"
#include "app/form1.h"
#include "app/modempage.h"
#include "config/displaytext.h"

#include <QPushButton>

namespace korva
{

void Form1::OpenComms()
{
    showBusyPointer();
    setStatus(QStringLiteral("Connecting..."));
    if (auto failure = m_engine.setLineRate(m_comms->baudList()->currentText()))
        return reportOpenFailure(*failure);
    setConfigButtonsEnabled(false);
    m_modem->refreshButton()->setEnabled(false);
    if (auto failure = m_engine.openPort(m_selectedPort))
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
    if (port().portOpen()) {
        m_engine.closePort();
        m_connect->setText(QStringLiteral("Connect"));
    }
    setConfigButtonsEnabled(false);
    m_modem->refreshButton()->setEnabled(false);
    m_modem->clearMarks();
    setStatus(QStringLiteral("Disconnected"));
}

void Form1::onPortFailed(const PortFailure &failure)
{
    // The port is already closed and the engine ends a running operation at its
    // next step; bring the window to the disconnected state.
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
    if (operationRunning())
        return;
    Operation operation(m_engine);
    if (port().portOpen()) {
        CloseComms();
        return;
    }
    OpenComms();
    m_engine.requestConfiguration();
}

void Form1::onPortChosen()
{
    if (operationRunning())
        return restoreListText(m_comms->portList(), m_acceptedPort);
    Operation operation(m_engine);
    m_acceptedPort = m_comms->portList()->currentText();
    CloseComms();
    m_selectedPort = m_comms->portList()->currentText();
    OpenComms();
    m_engine.requestConfiguration();
}

void Form1::onBaudChosen()
{
    if (operationRunning())
        return restoreListText(m_comms->baudList(), m_acceptedBaud);
    m_acceptedBaud = m_comms->baudList()->currentText();
    if (!port().portOpen())
        return;
    Operation operation(m_engine);
    CloseComms();
    m_selectedPort = m_comms->portList()->currentText();
    OpenComms();
    m_engine.requestConfiguration();
}

void Form1::restoreListText(QComboBox *list, const QString &text)
{
    showListText(list, text);
}

} // namespace korva
