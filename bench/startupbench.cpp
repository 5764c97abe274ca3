#include "startupbench.h"

#include "processinfo.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

namespace korva::bench
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kMapTimeoutMs = 10000;
constexpr int kPollSleepMs = 5;
constexpr int kIdleMs = 1000;
constexpr int kAttemptsPerRun = 10;

struct StartupRun {
    enum class Outcome { Mapped, RefusedByServer, Ended, NeverMapped };
    Outcome outcome = Outcome::NeverMapped;
    double mappedMs = 0;
    qint64 residentKiB = -1;
    QString detail;
};

bool windowMapped(const QString &xdotool, qint64 pid)
{
    QProcess probe;
    probe.start(xdotool, {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                          QStringLiteral("--pid"), QString::number(pid)});
    if (!probe.waitForFinished(2000))
        return false;
    return !probe.readAllStandardOutput().trimmed().isEmpty();
}

void stop(QProcess &program)
{
    program.terminate();
    if (!program.waitForFinished(3000)) {
        program.kill();
        program.waitForFinished(3000);
    }
}

StartupRun startOnce(const QString &path, const QString &xdotool)
{
    // A settings store of its own, and the real display rather than offscreen.
    QTemporaryDir config;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());

    StartupRun run;
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setStandardOutputFile(QProcess::nullDevice());
    const Clock::time_point started = Clock::now();
    program.start(path, {});
    if (!program.waitForStarted(5000)) {
        run.outcome = StartupRun::Outcome::Ended;
        run.detail = program.errorString();
        return run;
    }
    const qint64 pid = program.processId();
    while (program.state() == QProcess::Running &&
           Clock::now() - started < std::chrono::milliseconds(kMapTimeoutMs)) {
        if (windowMapped(xdotool, pid)) {
            run.outcome = StartupRun::Outcome::Mapped;
            run.mappedMs =
                std::chrono::duration<double, std::milli>(Clock::now() - started).count();
            break;
        }
        // Sleeps between polls, and notices at once when the program ends.
        program.waitForFinished(kPollSleepMs);
    }
    if (run.outcome == StartupRun::Outcome::Mapped) {
        QTest::qWait(kIdleMs);
        run.residentKiB = residentKiB(QString::number(pid));
    } else if (program.state() != QProcess::Running) {
        const QString output = QString::fromLocal8Bit(program.readAllStandardError());
        // Under the rapid polling, Xvfb now and then refuses a new client's
        // connection; Qt then gives up before the program's own code runs.
        run.outcome = output.contains(QStringLiteral("could not connect to display"))
                          ? StartupRun::Outcome::RefusedByServer
                          : StartupRun::Outcome::Ended;
        run.detail = output.trimmed().section(QLatin1Char('\n'), -1);
    }
    stop(program);
    return run;
}

} // namespace

StartupFigures measureStartup(int runs)
{
    StartupFigures figures;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        figures.skipped = QStringLiteral("DISPLAY is not set (run under xvfb-run)");
        return figures;
    }
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xdotool.isEmpty()) {
        figures.skipped = QStringLiteral("xdotool is not installed");
        return figures;
    }
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/korva-setup");
    if (!QFileInfo(path).isExecutable()) {
        figures.skipped = path + QStringLiteral(" was not found");
        return figures;
    }
    // The first start fills the file cache; it is not counted.
    startOnce(path, xdotool);
    for (int i = 0; i < runs; ++i) {
        for (int attempt = 0; attempt < kAttemptsPerRun; ++attempt) {
            const StartupRun run = startOnce(path, xdotool);
            if (run.outcome == StartupRun::Outcome::RefusedByServer) {
                ++figures.refusedStarts;
                continue;
            }
            if (run.outcome == StartupRun::Outcome::Mapped) {
                figures.mappedMs.add(run.mappedMs);
                if (run.residentKiB >= 0)
                    figures.residentMiB.add(double(run.residentKiB) / 1024.0);
            } else {
                ++figures.failedRuns;
                figures.failure = run.detail;
            }
            break;
        }
    }
    if (figures.mappedMs.isEmpty())
        figures.skipped = figures.failure.isEmpty() ? QStringLiteral("the window was never mapped")
                                                    : figures.failure;
    return figures;
}

} // namespace korva::bench
