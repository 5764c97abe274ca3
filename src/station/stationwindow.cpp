#include "station/stationwindow.h"

#include "module/commandmodegate.h"
#include "module/signalpipe.h"
#include "station/counterspanel.h"
#include "station/jobdialog.h"
#include "station/ledgerhealth.h"
#include "station/recentunits.h"
#include "station/shiftchart.h"
#include "station/slottile.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <csignal>

namespace korva::station
{

namespace
{

constexpr int kClockMs = 1000;
// Qt Charts lays out its whole scene for every change: the chart follows the
// units at most every 5 s, and moves on every 30 s while none comes.
constexpr int kChartStaleTicks = 5;
constexpr int kChartEveryTicks = 30;

QPushButton *button(const QString &text, const QString &name, const QString &spoken)
{
    auto *made = new QPushButton(text);
    made->setObjectName(name);
    made->setAccessibleName(spoken);
    return made;
}

// Where a job's ledger is, as its run would open it.
production::LedgerLocation ledgerOf(const production::Job &job)
{
    if (!job.ledger.isEmpty()) {
        const auto parsed = production::parseLedgerSpec(job.ledger);
        if (const auto *where = std::get_if<production::LedgerLocation>(&parsed))
            return *where;
    }
    production::LedgerLocation where;
    where.path = production::defaultLedgerPath();
    return where;
}

} // namespace

StationWindow::StationWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("stationWindow"));
    setWindowTitle(tr("KORVA Station"));
    m_tiles = new TileGrid;
    m_counters = new CountersPanel;
    m_chart = new ShiftChart;
    m_recent = new RecentUnits;
    m_health = new LedgerHealth;
    m_counters->setObjectName(QStringLiteral("counters"));
    m_chart->setObjectName(QStringLiteral("shiftChart"));
    m_health->setObjectName(QStringLiteral("ledgerHealth"));

    // The counters above the ledger's health, then the chart and the recent units.
    auto *figures = new QWidget;
    auto *column = new QVBoxLayout(figures);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(m_counters);
    column->addWidget(m_health);
    auto *bottom = new QSplitter(Qt::Horizontal);
    bottom->addWidget(figures);
    bottom->addWidget(m_chart);
    bottom->addWidget(m_recent);
    bottom->setStretchFactor(0, 0);
    bottom->setStretchFactor(1, 2);
    bottom->setStretchFactor(2, 3);
    auto *split = new QSplitter(Qt::Vertical);
    split->addWidget(m_tiles);
    split->addWidget(bottom);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(makeBar());
    layout->addWidget(m_message);
    layout->addWidget(split, 1);
    setCentralWidget(central);

    installTileAccessibility();
    connect(&m_run, &StationRun::slotChanged, this, &StationWindow::showSlot);
    connect(&m_run, &StationRun::unitDone, this, &StationWindow::onUnit);
    connect(&m_run, &StationRun::finished, this, &StationWindow::onFinished);
    m_clock.setInterval(kClockMs);
    connect(&m_clock, &QTimer::timeout, this, [this] {
        showCounts();
        ++m_ticks;
        if ((m_chartStale && m_ticks % kChartStaleTicks == 0) || m_ticks % kChartEveryTicks == 0) {
            m_chart->showShift(m_run.shiftTally(), QDateTime::currentDateTime());
            m_chartStale = false;
        }
    });
    m_clock.start();
    showJob();
    updateControls();
    resize(1024, 768);
}

StationWindow::~StationWindow() = default;

QWidget *StationWindow::makeBar()
{
    m_jobText = new QLabel;
    m_jobText->setObjectName(QStringLiteral("jobText"));
    m_jobText->setWordWrap(true);
    m_jobText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_message = new QLabel;
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setWordWrap(true);
    m_message->setAccessibleName(tr("Message"));
    m_jobButton = button(tr("&Job… (Ctrl+J)"), QStringLiteral("jobButton"), tr("Edit the job"));
    m_start = button(tr("&Start (F5)"), QStringLiteral("startButton"), tr("Start the run"));
    m_stop = button(tr("S&top (Shift+F5)"), QStringLiteral("stopButton"), tr("Stop the run"));
    m_fullScreen =
        button(tr("&Full screen (F11)"), QStringLiteral("fullScreenButton"), tr("Full screen"));
    m_sound = new QCheckBox(tr("Sound on FA&IL"));
    m_sound->setObjectName(QStringLiteral("soundOnFail"));
    m_sound->setAccessibleName(tr("Sound on FAIL"));
    QFont strong = m_start->font();
    strong.setPointSizeF(strong.pointSizeF() * 1.4);
    strong.setBold(true);
    for (QPushButton *each : {m_start, m_stop})
        each->setFont(strong);
    connect(m_jobButton, &QPushButton::clicked, this, &StationWindow::editJob);
    connect(m_start, &QPushButton::clicked, this, &StationWindow::startRun);
    connect(m_stop, &QPushButton::clicked, this, &StationWindow::stopRun);
    connect(m_fullScreen, &QPushButton::clicked, this, &StationWindow::toggleFullScreen);
    const auto shortcut = [this](QKeySequence keys, void (StationWindow::*slot)()) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, slot);
    };
    shortcut(QKeySequence(Qt::Key_F5), &StationWindow::startRun);
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5), &StationWindow::stopRun);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_J), &StationWindow::editJob);
    shortcut(QKeySequence(Qt::Key_F11), &StationWindow::toggleFullScreen);

    auto *bar = new QWidget;
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(m_jobText, 1);
    for (QWidget *control : {static_cast<QWidget *>(m_jobButton), static_cast<QWidget *>(m_start),
                             static_cast<QWidget *>(m_stop), static_cast<QWidget *>(m_sound),
                             static_cast<QWidget *>(m_fullScreen)})
        row->addWidget(control);
    return bar;
}

void StationWindow::setJob(const production::Job &job, const QString &file)
{
    if (isRunning())
        return;
    m_jobFile = file;
    m_run.setJob(job);
    m_health->setLedger(ledgerOf(job));
    showJob();
    showCounts();
}

QString StationWindow::message() const
{
    return m_message->text();
}

void StationWindow::showMessage(const QString &text, bool trouble)
{
    m_message->setText(text);
    m_message->setVisible(!text.isEmpty());
    m_message->setStyleSheet(trouble ? QStringLiteral("color: #c02020; font-weight: bold")
                                     : QString());
}

void StationWindow::showJob()
{
    const production::Job &job = m_run.job();
    QStringList parts;
    parts << (job.profile.isEmpty() ? tr("No job yet: press Job (Ctrl+J)")
                                    : tr("Profile %1").arg(QFileInfo(job.profile).fileName()));
    if (job.addresses)
        parts << tr("addresses %1").arg(job.addresses->text());
    else if (!job.localAddressFrom.isEmpty())
        parts << tr("addresses from %1").arg(job.localAddressFrom);
    else if (job.keepProfileAddress)
        parts << tr("the profile's address");
    parts << tr("ledger %1").arg(ledgerOf(job).display());
    if (!job.station.isEmpty())
        parts << tr("station %1").arg(job.station);
    if (!job.operatorName.isEmpty())
        parts << tr("operator %1").arg(job.operatorName);
    if (!job.order.isEmpty())
        parts << tr("order %1").arg(job.order);
    parts << (job.target > 0 ? tr("target %1 passed").arg(job.target) : tr("open-ended"));
    m_jobText->setText(parts.join(QStringLiteral(" · ")));
    m_jobText->setAccessibleName(m_jobText->text());
    setWindowTitle(job.station.isEmpty() ? tr("KORVA Station")
                                         : tr("KORVA Station: %1").arg(job.station));
    if (isRunning())
        return;
    const QStringList ports = job.ports.isEmpty() ? QStringList{tr("the stored port")} : job.ports;
    m_tiles->setCount(int(ports.size()));
    for (int index = 0; index < ports.size(); ++index)
        m_tiles->tile(index)->setReady(ports.at(index), index + 1);
    orderTabs();
}

// Tab goes through the controls of the bar, then the tiles in slot order,
// then the recent units.
void StationWindow::orderTabs()
{
    QList<QWidget *> chain{m_jobButton, m_start, m_stop, m_sound, m_fullScreen};
    for (int index = 0; index < m_tiles->count(); ++index)
        chain << m_tiles->tile(index);
    chain << m_recent->list() << m_recent->acknowledgeButton();
    for (qsizetype index = 1; index < chain.size(); ++index)
        setTabOrder(chain.at(index - 1), chain.at(index));
}

void StationWindow::startRun()
{
    if (isRunning())
        return;
    showMessage({}, false);
    if (const QString refused = m_run.start(); !refused.isEmpty()) {
        // A stop, or the window's close, may have come while the start waited
        // for the ledger: no run follows to end it, so it ends here.
        m_stopping = false;
        m_stoppingNow = false;
        updateControls();
        showMessage(tr("Not started: %1").arg(refused), true);
        if (m_closeWhenDone)
            close();
        return;
    }
    showMessage(m_run.notes().join(QStringLiteral("; ")), false);
    m_stopping = false;
    m_stoppingNow = false;
    m_tiles->setCount(int(m_run.pictures().size()));
    for (int index = 0; index < m_run.pictures().size(); ++index)
        showSlot(index);
    orderTabs();
    updateControls();
    showCounts();
    // The first run makes a new ledger: look at it again.
    m_health->check();
}

// A first stop lets every slot finish its step, a unit whose packet left
// finishing its read-back; a second one ends each step at once, still leaving
// every module in data mode.
void StationWindow::stopRun()
{
    if (!isRunning() || m_stoppingNow)
        return;
    m_stoppingNow = m_stopping;
    m_stopping = true;
    showMessage(m_stoppingNow
                    ? tr("Stopping now: every slot ends its step at once and leaves its module in "
                         "data mode…")
                    : tr("Stopping: every slot finishes its step and leaves its module in data "
                         "mode…"),
                false);
    m_run.stop();
    updateControls();
}

void StationWindow::editJob()
{
    if (isRunning())
        return;
    JobDialog dialog(this);
    dialog.setJob(m_run.job(), m_jobFile);
    if (dialog.exec() == QDialog::Accepted)
        setJob(dialog.job(), dialog.file());
}

void StationWindow::stopAndClose()
{
    m_closeWhenDone = true;
    if (isRunning())
        stopRun();
    else
        close();
}

void StationWindow::watchStopSignals()
{
    m_stopSignals =
        std::make_unique<SignalPipe>(QList<int>{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP},
                                     SignalPipe::WhenIgnored::KeepIgnored);
    connect(m_stopSignals.get(), &SignalPipe::received, this, [this](int number) {
        if (number == SIGTSTP)
            CommandModeGate::suspendWhenIdle([] { SignalPipe::raiseByDefault(SIGTSTP); });
        else
            stopAndClose();
    });
    m_stopSignals->watch();
}

void StationWindow::toggleFullScreen()
{
    setWindowState(windowState() ^ Qt::WindowFullScreen);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (!isRunning()) {
        event->accept();
        return;
    }
    // The slots finish their steps first; the window closes when they have.
    m_closeWhenDone = true;
    stopRun();
    event->ignore();
}

void StationWindow::showSlot(int index)
{
    if (index < m_tiles->count())
        m_tiles->tile(index)->setPicture(m_run.pictures().at(index));
}

void StationWindow::showCounts()
{
    m_counters->showCounts(m_run.runTally().totals(), m_run.runMs(), m_run.jobTally().totals(),
                           m_run.jobMs(), m_run.job().target);
}

void StationWindow::onUnit(const production::SlotEvent &event, const QDateTime &when)
{
    m_recent->add(event, when);
    if (m_sound->isChecked() && production::setAside(event.state))
        QApplication::beep();
    showCounts();
    m_chartStale = true;
}

void StationWindow::onFinished(const QString &how, const QString &problem)
{
    m_stopping = false;
    m_stoppingNow = false;
    showMessage(problem.isEmpty() ? tr("Run ended: %1").arg(how)
                                  : tr("Run ended: %1: %2").arg(how, problem),
                !problem.isEmpty());
    if (!problem.isEmpty() && problem.contains(m_run.ledgerText()))
        m_health->showFailure(problem);
    m_health->check();
    updateControls();
    showCounts();
    emit runFinished();
    if (m_closeWhenDone)
        close();
}

void StationWindow::updateControls()
{
    const bool running = isRunning();
    m_jobButton->setEnabled(!running);
    m_start->setEnabled(!running);
    m_stop->setEnabled(running && !m_stoppingNow);
    m_stop->setText(m_stopping && running ? tr("S&top now (Shift+F5)") : tr("S&top (Shift+F5)"));
    m_stop->setAccessibleName(m_stopping && running ? tr("Stop the run now") : tr("Stop the run"));
}

} // namespace korva::station
