#include "app/form1.h"

#include "app/appearance.h"
#include "app/commspage.h"
#include "app/modempage.h"
#include "app/prompts.h"
#include "app/statuspanel.h"
#include "serial/settingsstore.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLayout>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace korva
{

namespace
{

constexpr int kClientWidth = 425;
constexpr int kClientHeight = 468;
constexpr qreal kStatusPoints = 9.0;
// Silence before a "---" that ends an operation the close cut short, so that
// the module takes it apart from the "+++" or packet before it.
constexpr unsigned long kQuietBeforeLeavingMs = 100;

QStringList portNumbers()
{
    QStringList numbers;
    for (int n = 1; n <= 15; ++n)
        numbers << QString::number(n);
    return numbers;
}

QStringList baudRates()
{
    return {QStringLiteral("2400"),  QStringLiteral("4800"),  QStringLiteral("9600"),
            QStringLiteral("14400"), QStringLiteral("19200"), QStringLiteral("28800"),
            QStringLiteral("38400"), QStringLiteral("56000"), QStringLiteral("128000"),
            QStringLiteral("256000")};
}

QString windowCaption()
{
    return QStringLiteral("KORVA Module Setup Utility - Version:%1.%2.%3")
        .arg(KORVA_VERSION_MAJOR)
        .arg(KORVA_VERSION_MINOR)
        .arg(KORVA_VERSION_PATCH);
}

} // namespace

Form1::Form1(QWidget *parent)
    : QMainWindow(parent), m_defaultPrompts(new MessageBoxPrompts),
      m_prompts(m_defaultPrompts.get())
{
    setObjectName(QStringLiteral("Form1"));
    buildWindow();
    connectEngine();
    // The load's configuration request leaves the thread idle for 100 ms before
    // the window is shown: style and lay out the window and create its native
    // window then, so that showing it only maps it.
    QTimer::singleShot(0, this, [this] {
        ensurePolished();
        layout()->activate();
        winId();
    });
    // Timer1 runs from the start, so its first tick comes about 100 ms after start-up.
    receiver().timer1().start();
    load();
}

Form1::~Form1() = default;

void Form1::setPrompts(Prompts *prompts)
{
    m_prompts = prompts ? prompts : m_defaultPrompts.get();
}

void Form1::buildWindow()
{
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 4);
    layout->setSpacing(0);

    m_tabStrip = new QTabBar(central);
    m_tabStrip->setObjectName(QStringLiteral("TabStrip1"));
    m_tabStrip->addTab(QStringLiteral("Modem Setup"));
    m_tabStrip->addTab(QStringLiteral("Comms Port Setup"));
    m_tabStrip->setExpanding(false);
    m_tabStrip->setDrawBase(false);
    m_tabStrip->setAccessibleName(QStringLiteral("Pages"));
    layout->addWidget(m_tabStrip);

    // The tab strip's display area: the page frame, and Connect below it.
    auto *pane = new QFrame(central);
    pane->setFrameShape(QFrame::StyledPanel);
    auto *paneLayout = new QVBoxLayout(pane);
    paneLayout->setContentsMargins(8, 6, 8, 8);
    m_frame = new QGroupBox(pane);
    m_frame->setObjectName(QStringLiteral("Frame2"));
    auto *frameLayout = new QGridLayout(m_frame);
    frameLayout->setContentsMargins(4, 4, 4, 4);
    m_modem = new ModemPage(m_frame);
    m_comms = new CommsPage(m_frame);
    frameLayout->addWidget(m_modem, 0, 0);
    frameLayout->addWidget(m_comms, 0, 0);
    paneLayout->addWidget(m_frame, 1);

    m_connect = new QPushButton(QStringLiteral("Connect"), pane);
    m_connect->setObjectName(QStringLiteral("Command7"));
    auto *connectRow = new QHBoxLayout;
    connectRow->addStretch();
    connectRow->addWidget(m_connect);
    paneLayout->addLayout(connectRow);
    layout->addWidget(pane, 1);
    setCentralWidget(central);

    auto *statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("StatusBar1"));
    statusBar->setSizeGripEnabled(false);
    statusBar->setFont(courierFont(kStatusPoints));
    m_status = new StatusPanel(statusBar);
    m_status->setObjectName(QStringLiteral("StatusPanel1"));
    m_status->setFont(courierFont(kStatusPoints));
    statusBar->addWidget(m_status, 1);
    setStatusBar(statusBar);

    setWindowTitle(QStringLiteral("KORVA Module Setup Utility"));
    setFixedSize(kClientWidth, kClientHeight);

    setTabOrder(m_tabStrip, m_modem->firstField());
    setTabOrder(m_modem->lastField(), m_comms->portList());
    setTabOrder(m_comms->baudList(), m_connect);
    // Enter clicks a button as Space does (outside a dialog Qt leaves Enter alone).
    for (QPushButton *button :
         {m_modem->setButton(), m_modem->resetButton(), m_modem->refreshButton(), m_connect})
        button->installEventFilter(this);

    connect(m_tabStrip, &QTabBar::currentChanged, this, &Form1::switchPage);
    connect(m_connect, &QPushButton::clicked, this, &Form1::onConnectClicked);
    connect(m_comms->portList(), &QComboBox::activated, this, &Form1::onPortChosen);
    connect(m_comms->baudList(), &QComboBox::activated, this, &Form1::onBaudChosen);
    connect(m_modem, &ModemPage::bandChosen, this, &Form1::onBandChosen);
    connect(m_modem, &ModemPage::bandEdited, this, &Form1::onBandEdited);
    connect(m_modem->refreshButton(), &QPushButton::clicked, this, &Form1::onRefreshClicked);
    connect(m_modem->setButton(), &QPushButton::clicked, this, &Form1::onSetClicked);
    connect(m_modem->resetButton(), &QPushButton::clicked, this, &Form1::onResetDefaultsClicked);
}

void Form1::connectEngine()
{
    // The engine reads the page at the moment it needs the texts: Set takes them
    // after its first pause, the decoder takes the band at the end of a burst.
    m_engine.setTextsSource([this] { return m_modem->texts(); });
    m_engine.setBandSource([this] { return m_modem->bandList()->currentText(); });
    connect(&m_engine, &ModuleEngine::statusChanged, this, &Form1::setStatus);
    connect(&m_engine, &ModuleEngine::busyChanged, this,
            [this](bool busy) { busy ? showBusyPointer() : showDefaultPointer(); });
    connect(&m_engine, &ModuleEngine::requestStarted, this, [this] {
        m_modem->setTexts(placeholderTexts());
        m_modem->clearMarks();
    });
    connect(&m_engine, &ModuleEngine::readBackChecked, m_modem, &ModemPage::markDifferences);
    connect(
        &m_engine, &ModuleEngine::configurationDecoded, this,
        [this](const QByteArray &, const ConfigTexts &texts) { onConfigurationDecoded(texts); });
    connect(&m_engine, &ModuleEngine::packetRefused, this,
            [this](const EncodeFailure &failure) { showError(failure.text, failure.title); });
    connect(&m_engine, &ModuleEngine::portFailed, this, &Form1::onPortFailed);
    // A lost port has already put its failure into the status; otherwise the
    // progress text would stay as if the operation were still under way.
    connect(&m_engine, &ModuleEngine::stoppedEarly, this, [this] {
        if (!m_engine.portLost() || m_closing)
            setStatus(QStringLiteral("Stopped: the window was closed"));
        if (m_closing)
            leaveCommandModeOnClose();
    });
}

void Form1::leaveCommandModeOnClose()
{
    if (!port().portOpen() || !m_engine.inCommandMode())
        return;
    // The window is already hidden and the program ends: a short sleep here holds
    // up nobody, where waiting in an event loop would end at once as the program quits.
    QThread::msleep(kQuietBeforeLeavingMs);
    m_engine.CloseATMode();
}

void Form1::load()
{
    m_engine.setConfigExpected(true);
    receiver().rewind();
    receiver().timer1().start();
    m_comms->portList()->clear();
    m_comms->portList()->addItems(portNumbers());
    m_comms->baudList()->clear();
    m_comms->baudList()->addItems(baudRates());
    m_modem->fillLists();

    // Setting the band is a change of its text: it reads the module (the port is
    // still closed, so every field ends up "??").
    m_modem->bandList()->setEditText(QStringLiteral("433Mhz"));
    onBandEdited();

    switchPage();
    setWindowTitle(windowCaption());
    const LoadedPortSettings loaded = loadPortSettings();
    m_selectedPort = loaded.settings.port;
    showListText(m_comms->portList(), loaded.settings.port);
    showListText(m_comms->baudList(), loaded.settings.baud);
    m_acceptedPort = loaded.settings.port;
    m_acceptedBaud = loaded.settings.baud;
    if (loaded.problem.isEmpty())
        setStatus(QStringLiteral("Disconnected"));
    else
        setStatus(QStringLiteral("Disconnected (%1)").arg(loaded.problem));
}

void Form1::switchPage()
{
    m_modem->hide();
    m_comms->hide();
    if (m_tabStrip->currentIndex() == 0) {
        m_frame->setTitle(QStringLiteral("Modem Settings"));
        m_modem->show();
    } else {
        m_frame->setTitle(QStringLiteral("Comms Setup"));
        m_comms->show();
    }
}

QString Form1::statusText() const
{
    return m_status->status();
}

void Form1::setStatus(const QString &text)
{
    m_status->setStatus(text);
}

void Form1::showBusyPointer()
{
    if (!m_busyPointer)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    m_busyPointer = true;
}

void Form1::showDefaultPointer()
{
    if (m_busyPointer)
        QApplication::restoreOverrideCursor();
    m_busyPointer = false;
}

void Form1::showError(const QString &text, const QString &title)
{
    // The box takes the ordinary pointer even inside an operation.
    const bool busy = m_busyPointer;
    showDefaultPointer();
    m_prompts->error(this, text, title);
    if (busy)
        showBusyPointer();
}

void Form1::setConfigButtonsEnabled(bool enabled)
{
    m_modem->setButton()->setEnabled(enabled);
    m_modem->resetButton()->setEnabled(enabled);
}

void Form1::closeForSignal()
{
    if (m_closing)
        return;
    m_closingForSignal = true;
    // A message box runs a loop of its own and would keep the program alive: it
    // closes as its Escape would (OK; No for a question).
    while (QWidget *box = QApplication::activeModalWidget()) {
        if (!box->close())
            break;
    }
    close();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        auto *button = qobject_cast<QPushButton *>(watched);
        if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            button->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::closeEvent(QCloseEvent *event)
{
    const QString problem =
        savePortSettings({m_comms->portList()->currentText(), m_comms->baudList()->currentText()});
    if (!problem.isEmpty() && m_closingForSignal)
        qWarning().noquote() << problem;
    else if (!problem.isEmpty() && !m_closing)
        showError(problem, applicationTitle());
    // A running operation sees the abort at the end of its pause and writes no more.
    m_closing = true;
    m_engine.abort();
    showDefaultPointer();
    event->accept();
}

} // namespace korva
