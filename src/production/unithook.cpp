#include "production/unithook.h"

#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace korva::production
{

namespace
{

// How long a command that outlived its time limit is given after SIGTERM.
constexpr int kKillGraceMs = 2000;

// Sends the signal to the command and every process it started.
void signalGroup(QProcess *process, int signalNumber)
{
    const pid_t pid = pid_t(process->processId());
    if (pid > 0 && ::kill(-pid, signalNumber) != 0)
        ::kill(pid, signalNumber);
}

// The bytes of a character cut in two at the front of the tail are dropped.
QString tailText(const QByteArray &tail)
{
    qsizetype start = 0;
    while (start < tail.size() && start < 3 && (quint8(tail[start]) & 0xC0) == 0x80)
        ++start;
    return QString::fromUtf8(tail.mid(start));
}

} // namespace

UnitHook::UnitHook(const QString &command, QObject *parent) : QObject(parent), m_command(command)
{
    // A command that closes its stdin early makes the write of its record fail
    // with EPIPE instead of ending the program.
    std::signal(SIGPIPE, SIG_IGN);
}

UnitHook::~UnitHook()
{
    for (const auto &entry : m_running) {
        QProcess *process = entry.first;
        process->disconnect(this);
        signalGroup(process, SIGKILL);
        process->waitForFinished(kKillGraceMs);
        delete process;
    }
}

void UnitHook::run(const UnitHookJob &job)
{
    auto *process = new QProcess(this);
    Running &running = m_running[process];
    running.outcome.unit = job.unit;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KORVA_UNIT_RESULT"), job.result);
    environment.insert(QStringLiteral("KORVA_UNIT_ADDRESS"), job.address);
    environment.insert(QStringLiteral("KORVA_UNIT_DEVICE"), job.device);
    process->setProcessEnvironment(environment);
    process->setStandardOutputFile(QProcess::nullDevice());
    // A process group of its own: a time limit ends what the command started
    // too, and a Ctrl-C meant for the run does not cut a label print short.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });

    connect(process, &QProcess::readyReadStandardError, this,
            [this, process] { readStderr(process); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        UnitHookOutcome &outcome = m_running.at(process).outcome;
        if (error == QProcess::WriteError && outcome.stdinError.isEmpty()) {
            outcome.stdinError = process->errorString();
        } else if (error == QProcess::FailedToStart) {
            outcome.ending = UnitHookOutcome::Ending::NotStarted;
            outcome.status = QStringLiteral("could not start: ") + process->errorString();
            // Reported from the event loop, never from inside run().
            QMetaObject::invokeMethod(
                this, [this, process] { end(process); }, Qt::QueuedConnection);
        }
    });
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus exitStatus) {
                UnitHookOutcome &outcome = m_running.at(process).outcome;
                if (outcome.ending != UnitHookOutcome::Ending::TimedOut) {
                    const bool exited = exitStatus == QProcess::NormalExit;
                    outcome.ending =
                        exited ? UnitHookOutcome::Ending::Exited : UnitHookOutcome::Ending::Killed;
                    outcome.exitCode = exitCode;
                    outcome.status =
                        (exited ? QStringLiteral("exit %1") : QStringLiteral("killed by signal %1"))
                            .arg(exitCode);
                }
                end(process);
            });

    running.limit = new QTimer(process);
    running.limit->setSingleShot(true);
    connect(running.limit, &QTimer::timeout, this, [this, process] { timeUp(process); });

    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), m_command});
    if (process->state() == QProcess::NotRunning)
        return;
    // Handed over as the command reads it; one that never reads blocks nothing.
    process->write(job.record);
    process->closeWriteChannel();
    running.limit->start(m_timeLimitMs);
}

void UnitHook::waitForPending()
{
    if (m_running.empty())
        return;
    QEventLoop loop;
    connect(this, &UnitHook::allFinished, &loop, &QEventLoop::quit);
    loop.exec();
}

void UnitHook::readStderr(QProcess *process)
{
    QByteArray &tail = m_running.at(process).stderrTail;
    tail.append(process->readAllStandardError());
    if (tail.size() > kStderrTailBytes)
        tail.remove(0, tail.size() - kStderrTailBytes);
}

void UnitHook::timeUp(QProcess *process)
{
    Running &running = m_running.at(process);
    if (running.outcome.ending == UnitHookOutcome::Ending::TimedOut) {
        signalGroup(process, SIGKILL);
        return;
    }
    running.outcome.ending = UnitHookOutcome::Ending::TimedOut;
    running.outcome.status = QStringLiteral("timed out after %1 s")
                                 .arg(QString::number(running.limit->interval() / 1000.0));
    signalGroup(process, SIGTERM);
    running.limit->start(kKillGraceMs);
}

void UnitHook::end(QProcess *process)
{
    if (process->isOpen())
        readStderr(process);
    const auto found = m_running.find(process);
    UnitHookOutcome outcome = found->second.outcome;
    outcome.stderrTail = tailText(found->second.stderrTail);
    m_running.erase(found);
    process->disconnect(this);
    process->deleteLater();
    emit finished(outcome);
    if (m_running.empty())
        emit allFinished();
}

} // namespace korva::production
