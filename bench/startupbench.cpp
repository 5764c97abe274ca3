#include "startupbench.h"

#include "mapwatch.h"
#include "processinfo.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

namespace korva::bench
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kMapTimeoutMs = 10000;
constexpr int kPollSleepMs = 1;
constexpr int kIdleMs = 1000;
constexpr int kAttemptsPerRun = 10;

struct StartupRun {
    enum class Outcome { Mapped, RefusedByServer, Ended, NeverMapped };
    Outcome outcome = Outcome::NeverMapped;
    double mappedMs = 0;
    qint64 residentKiB = -1;
    QString detail;
};

void stop(QProcess &program)
{
    program.terminate();
    if (!program.waitForFinished(3000)) {
        program.kill();
        program.waitForFinished(3000);
    }
}

StartupRun startOnce(const QString &path, MapWatch &watch, bool measureMemory)
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
        if (watch.windowMapped(pid)) {
            run.outcome = StartupRun::Outcome::Mapped;
            run.mappedMs =
                std::chrono::duration<double, std::milli>(Clock::now() - started).count();
            break;
        }
        // Sleeps between polls, and notices at once when the program ends.
        program.waitForFinished(kPollSleepMs);
    }
    if (run.outcome == StartupRun::Outcome::Mapped && measureMemory) {
        QTest::qWait(kIdleMs);
        run.residentKiB = residentKiB(QString::number(pid));
    } else if (run.outcome != StartupRun::Outcome::Mapped && program.state() != QProcess::Running) {
        const QString output = QString::fromLocal8Bit(program.readAllStandardError());
        // Xvfb now and then refuses a new client's
        // connection; Qt then gives up before the program's own code runs.
        run.outcome = output.contains(QStringLiteral("could not connect to display"))
                          ? StartupRun::Outcome::RefusedByServer
                          : StartupRun::Outcome::Ended;
        run.detail = output.trimmed().section(QLatin1Char('\n'), -1);
    }
    stop(program);
    return run;
}

// Starts a program until the X server takes its connection, within the attempts.
StartupRun startCounted(const QString &path, MapWatch &watch, bool measureMemory,
                        StartupFigures &figures)
{
    StartupRun run;
    for (int attempt = 0; attempt < kAttemptsPerRun; ++attempt) {
        run = startOnce(path, watch, measureMemory);
        if (run.outcome != StartupRun::Outcome::RefusedByServer)
            break;
        ++figures.refusedStarts;
    }
    return run;
}

} // namespace

StartupFigures measureStartup(int runs, const QString &program)
{
    StartupFigures figures;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        figures.skipped = QStringLiteral("DISPLAY is not set (run under xvfb-run)");
        return figures;
    }
    MapWatch watch;
    if (!watch.isValid()) {
        figures.skipped = QStringLiteral("cannot watch the X server for mapped windows");
        return figures;
    }
    const QString path = QCoreApplication::applicationDirPath() + u'/' + program;
    if (!QFileInfo(path).isExecutable()) {
        figures.skipped = path + QStringLiteral(" was not found");
        return figures;
    }
    const QString bare =
        QCoreApplication::applicationDirPath() + QStringLiteral("/korva-bare-window");
    if (!QFileInfo(bare).isExecutable()) {
        figures.skipped = bare + QStringLiteral(" was not found");
        return figures;
    }
    // The first starts fill the file cache; they are not counted.
    startOnce(bare, watch, false);
    startOnce(path, watch, false);
    for (int i = 0; i < runs; ++i) {
        StartupRun bareRun;
        StartupRun run;
        if (i % 2 == 0) {
            bareRun = startCounted(bare, watch, false, figures);
            run = startCounted(path, watch, true, figures);
        } else {
            run = startCounted(path, watch, true, figures);
            bareRun = startCounted(bare, watch, false, figures);
        }
        if (run.outcome == StartupRun::Outcome::Mapped) {
            figures.mappedMs.add(run.mappedMs);
            if (run.residentKiB >= 0)
                figures.residentMiB.add(double(run.residentKiB) / 1024.0);
        } else {
            ++figures.failedRuns;
            figures.failure = run.detail;
        }
        if (bareRun.outcome == StartupRun::Outcome::Mapped)
            figures.bareMappedMs.add(bareRun.mappedMs);
        if (run.outcome == StartupRun::Outcome::Mapped &&
            bareRun.outcome == StartupRun::Outcome::Mapped)
            figures.overBareMs.add(run.mappedMs - bareRun.mappedMs);
    }
    if (figures.mappedMs.isEmpty())
        figures.skipped = figures.failure.isEmpty() ? QStringLiteral("the window was never mapped")
                                                    : figures.failure;
    return figures;
}

} // namespace korva::bench
