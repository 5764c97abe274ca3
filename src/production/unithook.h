#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <map>

class QProcess;
class QTimer;

namespace korva::production
{

// One unit handed to the command that runs after it.
struct UnitHookJob {
    QString unit;      // names the unit in the report, e.g. "run 12 unit 7"
    QByteArray record; // the unit's record, one JSON line, given on the command's stdin
    // Also given in the command's environment as KORVA_UNIT_RESULT,
    // KORVA_UNIT_ADDRESS and KORVA_UNIT_DEVICE.
    QString result;
    QString address;
    QString device;
};

// What became of the command run after one unit.
struct UnitHookOutcome {
    enum class Ending { Exited, Killed, TimedOut, NotStarted };
    QString unit;
    Ending ending = Ending::NotStarted;
    int exitCode = -1; // Exited: its exit status; Killed: the signal
    // For the record: "exit 0", "exit 3", "killed by signal 9",
    // "timed out after 30 s", "could not start: ...".
    QString status;
    QString stderrTail; // the last 2 KiB of its stderr
    QString stdinError; // why its record could not be handed over whole, or empty

    bool ok() const { return ending == Ending::Exited && exitCode == 0; }
};

// Runs a shell command after each unit (a label printer, an upload to a
// factory system) without ever waiting for it: each runs as a child process of
// the thread that owns this object, several at once if need be, and reports by
// signal when it ends. A command that outlives its time limit is sent SIGTERM,
// and SIGKILL two seconds later, with every process it started.
class UnitHook : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeLimitMs = 30000;
    static constexpr qsizetype kStderrTailBytes = 2048;

    explicit UnitHook(const QString &command, QObject *parent = nullptr);
    ~UnitHook() override;

    void setTimeLimit(int ms) { m_timeLimitMs = ms; }

    // Starts the command for one unit through /bin/sh -c and returns at once.
    void run(const UnitHookJob &job);
    int pending() const { return int(m_running.size()); }
    // Lets events run until every command started has ended: each is given
    // what is left of its time limit, then killed.
    void waitForPending();

signals:
    void finished(const korva::production::UnitHookOutcome &outcome);
    void allFinished();

private:
    struct Running {
        UnitHookOutcome outcome;
        QByteArray stderrTail;
        QTimer *limit = nullptr;
    };

    void readStderr(QProcess *process);
    void timeUp(QProcess *process);
    void end(QProcess *process);

    QString m_command;
    int m_timeLimitMs = kDefaultTimeLimitMs;
    std::map<QProcess *, Running> m_running;
};

} // namespace korva::production

Q_DECLARE_METATYPE(korva::production::UnitHookOutcome)
