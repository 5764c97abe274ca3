#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>
#include <map>

#include <sys/types.h>

class QProcess;
class QTimer;

namespace korva::production
{

struct RunStart;
struct UnitRecord;

// One unit handed to the command that runs after it.
struct UnitHookJob {
    qint64 runId = 0;
    int sequence = 0;
    int slot = 0;
    QString unit;      // names the unit in the report, e.g. "run 12 unit 7"
    QByteArray record; // the unit's record, one JSON line, given on the command's stdin
    // Also given in the command's environment as KORVA_UNIT_RESULT,
    // KORVA_UNIT_ADDRESS and KORVA_UNIT_DEVICE.
    QString result;
    QString address;
    QString device;
    bool required = false; // the unit's verdict waits for the command (--on-unit-required)
};

// The job for a unit: its record as written to the log, with the run's station,
// operator, profile name and SHA-256, and under "fields" the unit's fields as
// written (as it held them when nothing was written), so a label can be
// printed without asking anything else.
UnitHookJob hookJobFor(const UnitRecord &unit, const RunStart &run, const QString &band);

// What became of the command run after one unit.
struct UnitHookOutcome {
    enum class Ending { Exited, Killed, TimedOut, NotStarted, Stopped };
    UnitHookJob job; // without its record
    Ending ending = Ending::NotStarted;
    int exitCode = -1; // Exited: its exit status; Killed: the signal
    // For the record: "exit 0", "exit 3", "killed by signal 9",
    // "timed out after 30 s", "could not start: ...", "stopped with the run".
    QString status;
    QString stderrTail; // the last 2 KiB of its stderr
    QString stdinError; // why its record could not be handed over whole, or empty

    bool ok() const { return ending == Ending::Exited && exitCode == 0; }
};

// Runs a shell command after each unit (a label printer, an upload to a
// factory system) without ever waiting for it: each runs as a child process of
// the thread that owns this object, in a process group of its own, several at
// once if need be, and reports by signal when it ends. At its time limit its
// whole group is sent SIGTERM, and SIGKILL two seconds later, whatever became
// of the shell: a process it started and left behind ends there too. A command
// counts as pending until its group is gone.
class UnitHook : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeLimitMs = 30000;
    static constexpr int kKillGraceMs = 2000;
    static constexpr qsizetype kStderrTailBytes = 2048;

    explicit UnitHook(const QString &command, QObject *parent = nullptr);
    ~UnitHook() override;

    void setTimeLimit(int ms) { m_timeLimitMs = ms; }
    int timeLimit() const { return m_timeLimitMs; }

    // Starts the command for one unit through /bin/sh -c and returns at once;
    // `done`, when given, is called with the outcome as finished() is emitted.
    void run(const UnitHookJob &job, std::function<void(const UnitHookOutcome &)> done = {});
    int pending() const { return int(m_running.size()); }
    // Lets events run until every command started has ended: each is given
    // what is left of its time limit.
    void waitForPending();
    // Ends the command of one unit (or of all) now, with its group: SIGKILL.
    void end(qint64 runId, int sequence);
    void endAll();

signals:
    void finished(const korva::production::UnitHookOutcome &outcome);
    void allFinished();

private:
    struct Running {
        UnitHookOutcome outcome;
        std::function<void(const UnitHookOutcome &)> done;
        QByteArray stderrTail;
        QProcess *process = nullptr; // null once the shell has ended
        pid_t group = 0;
        QTimer *limit = nullptr;
        QTimer *watch = nullptr; // looks for the group's end once the shell has ended
        bool killed = false;     // the group was sent SIGKILL
    };

    void readStderr(Running &running);
    void timeUp(int id);
    void shellEnded(int id);
    void kill(Running &running, UnitHookOutcome::Ending why, const QString &status);
    // Drops the entry once its group is gone; true when it was.
    bool settleGroup(int id);

    QString m_command;
    int m_timeLimitMs = kDefaultTimeLimitMs;
    int m_lastId = 0;
    std::map<int, Running> m_running;
};

} // namespace korva::production

Q_DECLARE_METATYPE(korva::production::UnitHookOutcome)
