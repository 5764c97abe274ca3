#pragma once

#include "config/moduleconfig.h"
#include "module/moduleengine.h"

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

// The main window: a view of the module engine. It hands the engine the page's
// texts and shows what the engine reports. The routines keep the names the
// module's documentation and users know them by.
class Form1 : public QMainWindow
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Replaces the message boxes (tests answer them without a modal loop).
    void setPrompts(Prompts *prompts);

    ModuleEngine &engine() { return m_engine; }
    MSComm &port() { return m_engine.port(); }
    RxDispatcher &receiver() { return m_engine.receiver(); }
    QString statusText() const;
    bool operationRunning() const { return m_engine.operationRunning(); }
    bool configExpected() const { return m_engine.configExpected(); }
    Channel channel() const { return m_engine.channel(); }
    QString selectedPort() const { return m_selectedPort; }

    void OpenComms();
    void CloseComms();

    // Closes the window as its close button does, for a signal such as SIGTERM:
    // a message box that is open is closed first, and a problem saving the
    // settings goes to standard error, since nobody may be there to answer a box.
    void closeForSignal();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    using Operation = ModuleEngine::Operation;

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

    void connectEngine();
    void onConfigurationDecoded(const ConfigTexts &texts);
    void onPortFailed(const PortFailure &failure);
    void reportOpenFailure(const PortFailure &failure);
    // An operation the close cut short left the module in command mode.
    void leaveCommandModeOnClose();

    ModuleEngine m_engine;
    std::unique_ptr<Prompts> m_defaultPrompts;
    Prompts *m_prompts = nullptr;

    QTabBar *m_tabStrip = nullptr;
    QGroupBox *m_frame = nullptr;
    ModemPage *m_modem = nullptr;
    CommsPage *m_comms = nullptr;
    QPushButton *m_connect = nullptr;
    StatusPanel *m_status = nullptr;

    QString m_selectedPort;
    // Texts the three lists held when their last change was accepted.
    QString m_acceptedPort;
    QString m_acceptedBaud;
    QString m_acceptedBand;
    bool m_closing = false;
    bool m_closingForSignal = false;
    bool m_busyPointer = false;
};

} // namespace korva
