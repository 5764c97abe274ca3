#include "production/unithook.h"

#include "module/fields.h"
#include "production/ledgerlocation.h"
#include "production/unitrecord.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korva::production
{

namespace
{

// How often a group whose shell has ended is looked at again.
constexpr int kGroupWatchMs = 100;

// The bytes of a character cut in two at the front of the tail are dropped.
QString tailText(const QByteArray &tail)
{
    qsizetype start = 0;
    while (start < tail.size() && start < 3 && (quint8(tail[start]) & 0xC0) == 0x80)
        ++start;
    return QString::fromUtf8(tail.mid(start));
}

QString secondsText(int ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

UnitHookJob hookJobFor(const UnitRecord &unit, const RunStart &run, const QString &band)
{
    QJsonObject record = unit.toJson();
    record.insert(QStringLiteral("station"), run.station);
    record.insert(QStringLiteral("operator"), run.operatorName);
    record.insert(QStringLiteral("profile"), run.profileName);
    record.insert(QStringLiteral("profile-sha256"), run.profileSha256);
    const QByteArray block = unit.packet.size() == kBlockSize ? unit.packet : unit.before;
    if (block.size() == kBlockSize) {
        const ConfigTexts texts = decodeBlock(block, band, {}).texts;
        QJsonObject fields;
        for (const Field field : allFields())
            fields.insert(fieldKey(field), fieldText(texts, field));
        record.insert(QStringLiteral("fields"), fields);
    }
    UnitHookJob job;
    job.runId = unit.runId;
    job.sequence = unit.sequence;
    job.slot = unit.slot;
    job.unit = QStringLiteral("run %1 unit %2").arg(unit.runId).arg(unit.sequence);
    job.record = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    job.result = unit.result;
    job.address = unit.address ? addressText(*unit.address) : QString();
    job.device = unit.device;
    return job;
}

UnitHook::UnitHook(const QString &command, QObject *parent) : QObject(parent), m_command(command)
{
    // A command that closes its stdin early makes the write of its record fail
    // with EPIPE instead of ending the program.
    std::signal(SIGPIPE, SIG_IGN);
    // What a command leaves behind becomes this process's child when the shell
    // ends, so its end is seen (and reaped) here, not lost to init.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

UnitHook::~UnitHook()
{
    for (auto &[id, running] : m_running) {
        if (running.group > 0)
            ::kill(-running.group, SIGKILL);
        if (running.process) {
            running.process->disconnect(this);
            running.process->waitForFinished(kKillGraceMs);
            delete running.process;
        }
        if (running.group > 0)
            while (::waitpid(-running.group, nullptr, WNOHANG) > 0) {
            }
    }
}

void UnitHook::run(const UnitHookJob &job, std::function<void(const UnitHookOutcome &)> done)
{
    const int id = ++m_lastId;
    auto *process = new QProcess(this);
    Running &running = m_running[id];
    running.outcome.job = job;
    running.outcome.job.record.clear();
    running.done = std::move(done);
    running.process = process;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KORVA_UNIT_RESULT"), job.result);
    environment.insert(QStringLiteral("KORVA_UNIT_ADDRESS"), job.address);
    environment.insert(QStringLiteral("KORVA_UNIT_DEVICE"), job.device);
    process->setProcessEnvironment(environment);
    process->setStandardOutputFile(QProcess::nullDevice());
    // A process group of its own: a time limit ends what the command started
    // too, and a Ctrl-C meant for the run does not cut a label print short.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });

    connect(process, &QProcess::readyReadStandardError, this, [this, id] {
        if (const auto found = m_running.find(id); found != m_running.end())
            readStderr(found->second);
    });
    connect(process, &QProcess::errorOccurred, this, [this, id](QProcess::ProcessError error) {
        Running &running = m_running.at(id);
        UnitHookOutcome &outcome = running.outcome;
        if (error == QProcess::WriteError && outcome.stdinError.isEmpty()) {
            outcome.stdinError = running.process->errorString();
        } else if (error == QProcess::FailedToStart) {
            outcome.ending = UnitHookOutcome::Ending::NotStarted;
            outcome.status = QStringLiteral("could not start: ") + running.process->errorString();
            // Reported from the event loop, never from inside run().
            QMetaObject::invokeMethod(
                this, [this, id] { shellEnded(id); }, Qt::QueuedConnection);
        }
    });
    connect(process, &QProcess::finished, this,
            [this, id](int exitCode, QProcess::ExitStatus exitStatus) {
                UnitHookOutcome &outcome = m_running.at(id).outcome;
                if (outcome.ending != UnitHookOutcome::Ending::TimedOut &&
                    outcome.ending != UnitHookOutcome::Ending::Stopped) {
                    const bool exited = exitStatus == QProcess::NormalExit;
                    outcome.ending =
                        exited ? UnitHookOutcome::Ending::Exited : UnitHookOutcome::Ending::Killed;
                    outcome.exitCode = exitCode;
                    outcome.status =
                        (exited ? QStringLiteral("exit %1") : QStringLiteral("killed by signal %1"))
                            .arg(exitCode);
                }
                shellEnded(id);
            });

    // The limit belongs to this object, not to the process: it outlives the
    // shell and ends whatever the command left behind.
    running.limit = new QTimer(this);
    running.limit->setSingleShot(true);
    connect(running.limit, &QTimer::timeout, this, [this, id] { timeUp(id); });

    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), m_command});
    if (process->state() == QProcess::NotRunning)
        return;
    running.group = pid_t(process->processId());
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

void UnitHook::end(qint64 runId, int sequence)
{
    for (auto &[id, running] : m_running) {
        if (running.outcome.job.runId == runId && running.outcome.job.sequence == sequence)
            kill(running, UnitHookOutcome::Ending::Stopped, QStringLiteral("stopped with the run"));
    }
}

void UnitHook::endAll()
{
    for (auto &[id, running] : m_running)
        kill(running, UnitHookOutcome::Ending::Stopped, QStringLiteral("stopped with the run"));
}

void UnitHook::kill(Running &running, UnitHookOutcome::Ending why, const QString &status)
{
    if (running.process && running.outcome.ending != UnitHookOutcome::Ending::TimedOut) {
        running.outcome.ending = why;
        running.outcome.status = status;
    }
    if (running.group > 0)
        ::kill(-running.group, SIGKILL);
    running.killed = true;
}

void UnitHook::readStderr(Running &running)
{
    if (!running.process)
        return;
    QByteArray &tail = running.stderrTail;
    tail.append(running.process->readAllStandardError());
    if (tail.size() > kStderrTailBytes)
        tail.remove(0, tail.size() - kStderrTailBytes);
}

void UnitHook::timeUp(int id)
{
    const auto found = m_running.find(id);
    if (found == m_running.end())
        return;
    Running &running = found->second;
    if (running.killed || running.outcome.ending == UnitHookOutcome::Ending::TimedOut) {
        kill(running, UnitHookOutcome::Ending::TimedOut, running.outcome.status);
        return;
    }
    if (running.process) {
        running.outcome.ending = UnitHookOutcome::Ending::TimedOut;
        running.outcome.status =
            QStringLiteral("timed out after %1 s").arg(secondsText(m_timeLimitMs));
    } else {
        // The shell ended in time; what it left behind is ended as well.
        running.outcome.ending = UnitHookOutcome::Ending::TimedOut;
    }
    if (running.group > 0)
        ::kill(-running.group, SIGTERM);
    running.limit->start(kKillGraceMs);
}

void UnitHook::shellEnded(int id)
{
    Running &running = m_running.at(id);
    QProcess *process = running.process;
    if (process->isOpen())
        readStderr(running);
    running.process = nullptr;
    process->disconnect(this);
    process->deleteLater();

    UnitHookOutcome outcome = running.outcome;
    outcome.stderrTail = tailText(running.stderrTail);
    const auto done = running.done;
    if (settleGroup(id) == false) {
        m_running.at(id).watch = new QTimer(this);
        QTimer *watch = m_running.at(id).watch;
        connect(watch, &QTimer::timeout, this, [this, id] { settleGroup(id); });
        watch->start(kGroupWatchMs);
    }
    if (done)
        done(outcome);
    emit finished(outcome);
    if (m_running.empty())
        emit allFinished();
}

bool UnitHook::settleGroup(int id)
{
    const auto found = m_running.find(id);
    if (found == m_running.end())
        return true;
    Running &running = found->second;
    if (running.process)
        return false;
    bool gone = running.group <= 0;
    if (!gone) {
        while (::waitpid(-running.group, nullptr, WNOHANG) > 0) {
        }
        gone = ::kill(-running.group, 0) != 0 && errno == ESRCH;
    }
    if (!gone)
        return false;
    running.limit->deleteLater();
    if (running.watch)
        running.watch->deleteLater();
    const bool watched = running.watch != nullptr;
    m_running.erase(found);
    // An entry dropped by its watch is the last word on it.
    if (watched && m_running.empty())
        emit allFinished();
    return true;
}

} // namespace korva::production
