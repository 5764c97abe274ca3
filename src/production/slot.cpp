#include "production/slot.h"

#include "production/ledgerservice.h"
#include "production/runshared.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QThread>
#include <QTimer>

namespace korva::production
{

namespace
{

// Between two polls the line stays quiet for this long: with the poll's own
// 0.1 s, a unit attached is noticed within a quarter of a second, a module has
// had well over the 100 ms it needs after "---", and a unit taken off soon after
// its read-back is gone before it is asked again. An absent device is looked
// for on every change of its folder, and besides at this period.
constexpr int kQuietBetweenPollsMs = 150;
constexpr int kReopenPeriodMs = 250;
// A unit whose device stays counts as taken off only once it has missed this
// many polls in a row over at least this long: one late answer is no removal.
constexpr int kMissedPollsForRemoval = 3;
constexpr qint64 kRemovalQuietMs = 2000;

// The file a port given by path opens: a bare name is a device in /dev.
QString fileOf(const SlotPort &port)
{
    return port.port.contains(u'/') ? port.port : QStringLiteral("/dev/") + port.port;
}

bool isWhole(const ReadResult &result)
{
    return result.outcome == ReadResult::Outcome::Answered && result.block.size() == kBlockSize;
}

} // namespace

Slot::Slot(int number, const SlotPort &port, RunShared &shared)
    : m_number(number), m_port(port), m_shared(shared)
{
}

Slot::~Slot() = default;

bool Slot::LastUnit::holds(const QByteArray &block) const
{
    return programmed.contains(block) || (programmed.isEmpty() && block == before);
}

bool Slot::LastUnit::wasProgrammedAs(const QByteArray &block) const
{
    return programmed.contains(block);
}

void Slot::run()
{
    m_engine = std::make_unique<ModuleEngine>();
    m_deviceWatch = std::make_unique<QFileSystemWatcher>();
    connect(m_deviceWatch.get(), &QFileSystemWatcher::directoryChanged, this, &Slot::wake);
    const QString band = m_shared.settings.band;
    m_engine->setBandSource([band] { return band; });
    connect(m_engine.get(), &ModuleEngine::portFailed, this, [this](const PortFailure &failure) {
        m_lostReason = failure.description;
        if (m_idleLoop)
            m_idleLoop->quit();
    });
    connect(m_engine.get(), &ModuleEngine::requestStarted, this, [this] {
        if (m_shown && m_shown->state == SlotState::Programming)
            report(SlotState::Verifying, {}, m_unitAddress);
    });

    QString reason;
    m_ledger = m_shared.ledger->client();
    if (const auto refusedRate = m_engine->setLineRate(m_shared.settings.baud))
        m_shared.halt(EndReason::PortUnusable, refusedRate->description);
    else if (openPort(reason) == Opened::Unusable)
        m_shared.halt(EndReason::PortUnusable, reason);
    else
        runUnits();
    if (m_shared.halted())
        emit runChanged();

    if (m_engine->port().portOpen() && m_engine->inCommandMode())
        m_engine->CloseATMode();
    m_engine->closePort();
    m_engine.reset();
    m_deviceWatch.reset();
    m_ledger.reset();
    report(SlotState::Finished, m_finishNote);
    emit finished();
    thread()->quit();
}

void Slot::stop()
{
    if (m_engine && m_stopAsked)
        m_engine->stopNow();
    else if (m_engine)
        m_engine->requestStop();
    m_stopAsked = true;
    if (m_ledger)
        m_ledger->stop();
    wake();
}

void Slot::wake()
{
    // A run halted by a record the ledger refused waits on the ledger no
    // longer than a stopped one: a call of this slot's under way gets the same
    // grace, so the run ends soon after its first failed record.
    if (m_ledger && m_shared.reason() == EndReason::RecordFailed)
        m_ledger->stop();
    if (m_idleLoop)
        m_idleLoop->quit();
}

void Slot::runUnits()
{
    while (!m_shared.ending()) {
        if (!lineOpen())
            continue;
        if (!m_attached && !m_announced && !(m_shown && m_shown->state == SlotState::Waiting))
            report(SlotState::Waiting);
        m_announced = true;
        const PollResult polled =
            m_engine->pollConfiguration(m_shared.settings.answerTimeoutMs,
                                        [this](const ReadResult &found) { return decide(found); });
        afterPoll(polled);
        if (!m_shared.ending())
            idle(kQuietBetweenPollsMs);
    }
}

bool Slot::lineOpen()
{
    if (m_engine->port().portOpen() && !portPresent())
        m_engine->closePort();
    if (m_engine->port().portOpen())
        return true;
    // Whatever was on the line went with its device.
    if (m_attached)
        m_announced = false;
    m_attached = false;
    QString reason;
    if (openPort(reason) == Opened::Open)
        return true;
    report(SlotState::AdapterMissing, reason);
    m_announced = false;
    awaitDevice();
    return false;
}

Slot::Opened Slot::openPort(QString &reason)
{
    if (!m_port.byNumber && !portPresent()) {
        reason = QStringLiteral("%1 is not there yet: waiting for it").arg(m_port.port);
        return Opened::Absent;
    }
    const auto failure =
        m_port.byNumber ? m_engine->openPort(m_port.port) : m_engine->openDevice(m_port.port);
    if (!failure) {
        m_device = m_engine->port().devicePath();
        return Opened::Open;
    }
    if (failure->kind == PortFailure::Kind::InvalidPort) {
        reason = QStringLiteral("port %1 opens no device yet: waiting for one").arg(m_port.port);
        return Opened::Absent;
    }
    reason = QStringLiteral("Error: ") + failure->description;
    return Opened::Unusable;
}

bool Slot::portPresent() const
{
    if (m_port.byNumber)
        return true;
    return QFileInfo::exists(fileOf(m_port));
}

void Slot::awaitDevice()
{
    // A folder that is not there yet (udev makes /dev/serial/by-path with the
    // first adapter) is looked for again next time.
    const QString folder = QFileInfo(fileOf(m_port)).absolutePath();
    if (!m_port.byNumber && m_deviceWatch->directories().isEmpty() && QFileInfo(folder).isDir())
        m_deviceWatch->addPath(folder);
    if (m_shared.ending())
        return;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(kReopenPeriodMs);
    m_idleLoop = &loop;
    loop.exec();
    m_idleLoop = nullptr;
}

bool Slot::decide(const ReadResult &found)
{
    if (m_attached && m_lastUnit) {
        if (m_lastUnit->holds(found.block)) {
            m_missed = 0;
            return false;
        }
        // Another module answers in the last unit's place: that one was taken off.
        m_attached = false;
    } else if (m_lastUnit && m_lastUnit->wasProgrammedAs(found.block)) {
        report(SlotState::RemoveUnit,
               QStringLiteral("the module on %1 holds what the last unit was written with: "
                              "take it off")
                   .arg(shownPort()));
        return false;
    }
    std::optional<PassedRecord> passedBefore;
    if (m_shared.ending() || !lookUp(found, passedBefore))
        return false;
    if (passedBefore && !m_shared.settings.reprovision) {
        m_metAgain = MetAgain{found, *passedBefore};
        return false;
    }
    const UnitBudget::Claim claim = m_shared.budget.claim();
    if (claim == UnitBudget::Claim::Wait)
        report(SlotState::Waiting, QStringLiteral("a unit is ready on %1; it waits for the units "
                                                  "under way on the other slots")
                                       .arg(shownPort()));
    if (claim != UnitBudget::Claim::Granted)
        return false;
    UnitAddress address{passedBefore ? std::optional<quint32>(passedBefore->address) : std::nullopt,
                        false, passedBefore.has_value()};
    if (!passedBefore && !takeAddress(address)) {
        m_shared.budget.settle(false);
        return false;
    }
    if (address.reserved) {
        if (const QString failed = m_ledger->markSent(*address.address); !failed.isEmpty()) {
            m_shared.halt(EndReason::RecordFailed, failed);
            giveBack(address);
            m_shared.budget.settle(false);
            return false;
        }
    }
    m_underWay = UnitUnderWay{newUnit(found), address};
    prepareTexts(m_underWay->unit, found, address);
    report(SlotState::Programming, {}, m_unitAddress);
    return true;
}

void Slot::afterPoll(const PollResult &polled)
{
    if (m_underWay) {
        completeUnit(polled.written.value_or(WriteResult{}));
    } else if (m_metAgain) {
        leaveAlone(m_metAgain->found, m_metAgain->passed);
        m_metAgain.reset();
        m_attached = true;
        m_missed = 0;
        if (!m_shared.ending())
            report(SlotState::RemoveUnit, {}, m_unitAddress);
    } else if (m_attached && !isWhole(polled.found)) {
        countMiss();
    } else if (!m_attached && polled.found.outcome == ReadResult::Outcome::Answered &&
               !polled.found.block.isEmpty() && !isWhole(polled.found) && !m_shortAnswerTold) {
        report(SlotState::Waiting, QStringLiteral("a module answers %1 of %2 bytes on %3: "
                                                  "check the contact and the baud rate")
                                       .arg(polled.found.block.size())
                                       .arg(kBlockSize)
                                       .arg(shownPort()));
        m_shortAnswerTold = true;
    }
}

void Slot::countMiss()
{
    if (m_missed++ == 0)
        m_sinceFirstMiss.start();
    if (m_missed >= kMissedPollsForRemoval && m_sinceFirstMiss.elapsed() >= kRemovalQuietMs) {
        m_attached = false;
        m_announced = false;
        m_shortAnswerTold = false;
    }
}

void Slot::idle(qint64 ms, bool watchPort)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || m_shared.ending() || (watchPort && !m_engine->port().portOpen()))
            return;
        QEventLoop loop;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(int(left));
        m_idleLoop = &loop;
        loop.exec();
        m_idleLoop = nullptr;
    }
}

void Slot::report(SlotState state, const QString &detail, std::optional<quint32> address,
                  qint64 unitMs)
{
    if (m_shown && m_shown->state == state && m_shown->detail == detail && unitMs < 0)
        return;
    m_shown = Shown{state, detail};
    emit event(SlotEvent{m_number, deviceName(), state, address, detail, unitMs});
}

QString Slot::shownPort() const
{
    if (!m_port.byNumber)
        return m_port.port;
    const QString number = QStringLiteral("port ") + m_port.port;
    return m_device.isEmpty() ? number : QStringLiteral("%1 (%2)").arg(number, m_device);
}

QString Slot::deviceName() const
{
    return m_device.isEmpty() ? m_port.port : m_device;
}

} // namespace korva::production
