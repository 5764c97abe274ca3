#pragma once

#include "module/moduleengine.h"
#include "production/provisionsettings.h"
#include "production/slotevent.h"
#include "production/unithook.h"
#include "production/unitrecord.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>

#include <memory>

class QEventLoop;
class QFileSystemWatcher;

namespace korva::production
{

class LedgerClient;
class RunShared;

// One provisioning slot: a port where units are attached one after another.
// It polls for a unit, leaves it alone when the ledger holds it as provisioned,
// else takes an address, programs and verifies the unit, records it and waits
// until it is taken off, until the run ends. The poll that finds a unit is the
// first step of its Set: the slot decides while the module waits in command
// mode, so a unit's wire is exactly one Set with its read-back. It runs on a
// thread of its own with an engine of its own, because the engine's pauses are
// nested event loops: two slots on one thread would stretch each other's
// pauses. It calls the station's ledger through a client of its own, each call
// bounded.
class Slot : public QObject
{
    Q_OBJECT
public:
    Slot(int number, const SlotPort &port, RunShared &shared);
    ~Slot() override;

    // Runs units until the run ends, then leaves the module in data mode and
    // closes the port. Call it on the slot's thread.
    void run();
    // Lets the step under way finish and writes nothing more; a unit whose
    // packet left is read back and judged first. A second stop ends at once.
    // Queued from another thread.
    void stop();
    // Looks at the run's state again now rather than at the end of a wait.
    void wake();

signals:
    void event(const korva::production::SlotEvent &event);
    // A unit's record is in the ledger, the log and on stdout.
    void unitRecorded(const korva::production::UnitRecord &unit);
    // A unit was settled or the run was halted: the other slots look again.
    void runChanged();
    void finished();

private:
    enum class Opened { Open, Absent, Unusable };

    // The error class of a unit the run stopped before its packet left: it was
    // not written, so it is not recorded.
    static inline const QString kNotWritten = QStringLiteral("not-written");

    // The local address a unit is written with, and where it came from.
    struct UnitAddress {
        std::optional<quint32> address; // none: the profile's or the unit's own
        bool reserved = false;          // taken from the ledger for this unit
        bool reprovision = false;       // the one the ledger holds for this unit as passed
    };

    // What the slot's last unit is known to hold: the packets that left and
    // what it read back as its own; its block before, when nothing was written.
    struct LastUnit {
        QByteArray before;
        QList<QByteArray> programmed;
        bool holds(const QByteArray &block) const;
        bool wasProgrammedAs(const QByteArray &block) const;
    };

    // A unit being written: what it is, and the address it is written with.
    struct UnitUnderWay {
        UnitRecord unit;
        UnitAddress address;
    };
    // A unit the ledger holds as passed, found by the last poll.
    struct MetAgain {
        ReadResult found;
        PassedRecord passed;
    };

    void runUnits();
    // The slot's port is open; otherwise it waits a while for its device and
    // says false.
    bool lineOpen();
    Opened openPort(QString &reason);
    bool portPresent() const;
    // Waits until the device's folder changes, the reopen period passes, or a
    // wake or a stop comes.
    void awaitDevice();
    // Asked by the engine once a poll's answer holds a whole block, while the
    // module waits in command mode: true when the unit is to be written (its
    // address is taken and marked sent, and its texts are the engine's).
    bool decide(const ReadResult &found);
    // What the slot makes of a poll once the module is back in data mode.
    void afterPoll(const PollResult &polled);
    // A poll that found no whole block while the last unit is taken to be on
    // the line: three such polls over a while mean it was taken off.
    void countMiss();
    // The ledger's passed record of the address the unit holds; false when the
    // ledger could not tell (the run is halted then).
    bool lookUp(const ReadResult &found, std::optional<PassedRecord> &passed);
    UnitRecord newUnit(const ReadResult &found) const;
    void leaveAlone(const ReadResult &found, const PassedRecord &passed);
    // False when no address could be taken (the run is halted then).
    bool takeAddress(UnitAddress &address);
    // The texts the unit is written with, set as the engine's.
    void prepareTexts(UnitRecord &unit, const ReadResult &found, const UnitAddress &address);
    // The first write (the poll's Set) with its read-back, a second write when
    // the unit holds something else, then the unit's record.
    void completeUnit(const WriteResult &first);
    // What a Set with its read-back tells of the unit; true when the unit holds
    // something else than was written and may be written once more.
    bool judgeWrite(UnitRecord &unit, const WriteResult &written);
    bool writeOnce(UnitRecord &unit);
    void finishUnit(UnitRecord &unit, const UnitAddress &address);
    // Returns the address of a unit that was not written to the range.
    void giveBack(const UnitAddress &address);
    // Halts the run once no address of its range is left.
    void checkRangeLeft();
    // The journal, the ledger, the log, then stdout; then the run hears of it. A
    // unit the ledger did not take is shown as not recorded and halts the run.
    void record(UnitRecord &unit, SlotState state, const QString &detail);
    // With --on-unit-required: runs the command for a unit that passed and
    // waits for it; false (the unit failing) unless it succeeded.
    bool hookPasses(UnitRecord &unit, const UnitAddress &address);
    UnitHookOutcome awaitHook(const UnitHookJob &job);
    // Waits up to ms while events run; a wake, a stop or (with watchPort) a lost
    // port ends it early.
    void idle(qint64 ms, bool watchPort = true);
    // Tells the run what the slot is doing now, unless that was the last thing told.
    void report(SlotState state, const QString &detail = {},
                std::optional<quint32> address = std::nullopt, qint64 unitMs = -1);
    QString shownPort() const;
    // The device the slot's port opens: a port number as the device it stands for.
    QString deviceName() const;

    struct Shown {
        SlotState state;
        QString detail;
    };

    const int m_number;
    const SlotPort m_port;
    RunShared &m_shared;
    std::unique_ptr<ModuleEngine> m_engine;
    std::unique_ptr<LedgerClient> m_ledger;
    std::unique_ptr<QFileSystemWatcher> m_deviceWatch;
    QEventLoop *m_idleLoop = nullptr;
    std::optional<Shown> m_shown;
    std::optional<quint32> m_unitAddress; // the address of the unit under way
    std::optional<LastUnit> m_lastUnit;
    bool m_attached = false; // the last unit is taken to be on the line still
    int m_missed = 0;        // polls in a row it did not answer whole
    QElapsedTimer m_sinceFirstMiss;
    bool m_announced = false;       // waiting was said since the slot last had a unit or a port
    bool m_shortAnswerTold = false; // a short answer was said while waiting
    bool m_stopAsked = false;
    std::optional<UnitUnderWay> m_underWay;
    std::optional<MetAgain> m_metAgain;
    QString m_lostReason;                          // why the port failed last
    QString m_finishNote;                          // said when the slot finishes
    QString m_device;                              // the device the port last opened
    std::optional<UnitHookOutcome> m_gatedOutcome; // of the unit being recorded
};

} // namespace korva::production
