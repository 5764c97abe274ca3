#pragma once

#include "app/pause.h"
#include "config/moduleconfig.h"
#include "receive/rxdispatcher.h"
#include "serial/mscomm.h"

#include <QMainWindow>

#include <memory>

class QComboBox;
class QGroupBox;
class QPushButton;
class QTabBar;

namespace korva
{

class CommsPage;
class ModemPage;
class Prompts;
class StatusPanel;

// The main window: a thin controller over the port, the receive path and the
// configuration codec. The routines keep the names the module's documentation
// and users know them by.
class Form1 : public QMainWindow
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Replaces the message boxes (tests answer them without a modal loop).
    void setPrompts(Prompts *prompts);

    MSComm &port() { return m_MSComm1; }
    RxDispatcher &receiver() { return m_receiver; }
    QString statusText() const;
    bool operationRunning() const { return m_operationRunning; }
    bool configExpected() const { return m_configExpected; }
    Channel channel() const { return m_channel; }
    QString selectedPort() const { return m_selectedPort; }

    void OpenComms();
    void CloseComms();
    void EnterATMode();
    void CloseATMode();
    // Builds the packet from the page and writes it; false when a value was refused.
    bool SendConfigPacket();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Marks a module operation as running for its lifetime.
    class Operation
    {
    public:
        explicit Operation(Form1 &window) : m_window(window)
        {
            m_window.m_operationRunning = true;
            m_window.m_portLost = false;
        }
        ~Operation() { m_window.m_operationRunning = false; }
        Operation(const Operation &) = delete;
        Operation &operator=(const Operation &) = delete;

    private:
        Form1 &m_window;
    };

    void buildWindow();
    void load();
    void switchPage();
    void setStatus(const QString &text);
    void showBusyPointer();
    void showDefaultPointer();
    void showError(const QString &text, const QString &title);
    void setConfigButtonsEnabled(bool enabled);

    // Handlers of user actions; each is ignored while a module operation runs.
    void onConnectClicked();
    void onPortChosen();
    void onBaudChosen();
    // A band chosen from the list or typed: reads the module again.
    void onBandChosen();
    void onBandEdited();
    void onRefreshClicked();
    void onSetClicked();
    void onResetDefaultsClicked();
    // Undoes a list's change that arrived while an operation ran.
    void restoreListText(QComboBox *list, const QString &text);

    void onTimer1();
    void onPortFailed(const PortFailure &failure);
    void reportOpenFailure(const PortFailure &failure);

    // The module operations, run as their own steps by the handlers above.
    void requestConfiguration();
    void sendConfiguration();
    // Pauses while events run; false when the operation must end here (window
    // closing, or the port was lost during the pause).
    bool pauseWithin(int ms);
    // Ends an operation early with a final status, never a progress text.
    void stopOperation();

    MSComm m_MSComm1;
    RxDispatcher m_receiver;
    Pause m_pause;
    std::unique_ptr<Prompts> m_defaultPrompts;
    Prompts *m_prompts = nullptr;

    QTabBar *m_tabStrip = nullptr;
    QGroupBox *m_frame = nullptr;
    ModemPage *m_modem = nullptr;
    CommsPage *m_comms = nullptr;
    QPushButton *m_connect = nullptr;
    StatusPanel *m_status = nullptr;

    bool m_configExpected = true;
    Channel m_channel;
    QString m_selectedPort;
    // Texts the three lists held when their last change was accepted.
    QString m_acceptedPort;
    QString m_acceptedBaud;
    QString m_acceptedBand;
    bool m_operationRunning = false;
    bool m_portLost = false;
    bool m_closing = false;
    bool m_busyPointer = false;
};

} // namespace korva
