#include "production/slot.h"

#include "production/ledgerservice.h"
#include "production/runshared.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace korva::production
{

namespace
{

// A unit is asked for its configuration (and, once programmed, looked after)
// about once a second; an absent device is looked for more often, as that
// costs nothing on the wire.
constexpr int kPollPeriodMs = 1000;
constexpr int kReopenPeriodMs = 250;
// A present module begins its answer within the request's 0.1 s; this is
// enough for all fifteen bytes at 1200 baud and the 100 ms that end a burst.
constexpr int kPollAnswerMs = 300;
// A unit whose device stays counts as taken off only once it has missed this
// many polls in a row over at least this long: one late answer is no removal.
constexpr int kMissedPollsForRemoval = 3;
constexpr qint64 kRemovalQuietMs = 2000;

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
    m_ledger.reset();
    report(SlotState::Finished, m_finishNote);
    emit finished();
    thread()->quit();
}

void Slot::stop()
{
    if (m_engine)
        m_engine->requestStop();
    if (m_ledger)
        m_ledger->stop();
    wake();
}

void Slot::wake()
{
    if (m_idleLoop)
        m_idleLoop->quit();
}

void Slot::runUnits()
{
    while (!m_shared.ending()) {
        ReadResult found;
        std::optional<PassedRecord> passed;
        if (!waitForModule(found) || !lookUp(found, passed))
            return;
        if (passed && !m_shared.settings.reprovision) {
            leaveAlone(found, *passed);
            if (m_shared.ending() || !waitForRemoval())
                return;
            continue;
        }
        const UnitBudget::Claim claim = m_shared.budget.claim();
        if (claim == UnitBudget::Claim::Wait) {
            report(SlotState::Waiting,
                   QStringLiteral("a unit is ready on %1; it waits for the units under way "
                                  "on the other slots")
                       .arg(shownPort()));
            idle(kPollPeriodMs);
            continue;
        }
        if (claim == UnitBudget::Claim::Spent)
            return;
        UnitAddress address{passed ? std::optional<quint32>(passed->address) : std::nullopt, false,
                            passed.has_value()};
        if (!passed && !takeAddress(address)) {
            m_shared.budget.settle(false);
            return;
        }
        UnitRecord unit = programUnit(found, address);
        if (unit.packetLeft || unit.errorClass != kNotWritten) {
            // Settled with the unit's verdict, which may wait for its --on-unit command.
            finishUnit(unit, address);
            m_shared.budget.settle(unit.packetLeft, unit.result == QLatin1String("passed"));
            checkRangeLeft();
        } else {
            m_shared.budget.settle(false);
            giveBack(address);
            m_finishNote = QStringLiteral("stopped before the unit on %1 was written: nothing "
                                          "was written to it")
                               .arg(shownPort());
        }
        emit runChanged();
        if (m_shared.ending() || !waitForRemoval())
            return;
    }
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
    return QFileInfo::exists(m_port.port.contains(u'/') ? m_port.port
                                                        : QStringLiteral("/dev/") + m_port.port);
}

bool Slot::waitForModule(ReadResult &found)
{
    bool announced = false;
    bool shortAnswerTold = false;
    while (!m_shared.ending()) {
        if (!m_engine->port().portOpen()) {
            QString reason;
            if (openPort(reason) != Opened::Open) {
                report(SlotState::AdapterMissing, reason);
                announced = false;
                idle(kReopenPeriodMs, false);
                continue;
            }
        }
        // Already waiting (for a claim, or with something seen) is not said again.
        if (!announced && !(m_shown && m_shown->state == SlotState::Waiting))
            report(SlotState::Waiting);
        announced = true;
        QElapsedTimer poll;
        poll.start();
        found = m_engine->readConfiguration(kPollAnswerMs);
        if (m_shared.ending())
            return false;
        if (isWhole(found)) {
            if (!m_lastUnit || !m_lastUnit->wasProgrammedAs(found.block))
                return true;
            report(SlotState::RemoveUnit,
                   QStringLiteral("the module on %1 holds what the last unit was written with: "
                                  "take it off")
                       .arg(shownPort()));
        } else if (found.outcome == ReadResult::Outcome::Answered && !found.block.isEmpty() &&
                   !shortAnswerTold) {
            report(SlotState::Waiting, QStringLiteral("a module answers %1 of %2 bytes on %3: "
                                                      "check the contact and the baud rate")
                                           .arg(found.block.size())
                                           .arg(kBlockSize)
                                           .arg(shownPort()));
            shortAnswerTold = true;
        }
        idle(kPollPeriodMs - poll.elapsed());
    }
    return false;
}

// A unit is taken off when its device goes away, when it has missed several
// polls in a row over a while, or when another module answers in its place.
bool Slot::waitForRemoval()
{
    report(SlotState::RemoveUnit, {}, m_unitAddress);
    int missed = 0;
    QElapsedTimer sinceFirstMiss;
    while (!m_shared.ending()) {
        idle(kPollPeriodMs);
        if (m_shared.ending())
            return false;
        if (!portPresent())
            m_engine->closePort();
        if (!m_engine->port().portOpen())
            return true;
        const ReadResult answer = m_engine->readConfiguration(kPollAnswerMs);
        if (!m_engine->port().portOpen())
            return true;
        if (m_shared.ending())
            return false;
        if (isWhole(answer)) {
            if (!m_lastUnit->holds(answer.block))
                return true;
            missed = 0;
            continue;
        }
        if (missed++ == 0)
            sinceFirstMiss.start();
        if (missed >= kMissedPollsForRemoval && sinceFirstMiss.elapsed() >= kRemovalQuietMs)
            return true;
    }
    return false;
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
