#include "clibench.h"

#include "moduleemulator.h"

#include <QCoreApplication>
#include <QProcess>

#include <chrono>
#include <sys/resource.h>

namespace korva::bench
{

namespace
{

using Clock = std::chrono::steady_clock;
using emu::WireByte;

constexpr int kFinishMs = 10000;
constexpr double kBurstEndMs = 100.0;

double childrenCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

CliFigures measureCli(const QStringList &arguments, const QStringList &alternate, int runs)
{
    CliFigures figures;
    emu::ModuleEmulator emulator;
    // The emulator stamps bytes from its own start, on the same steady clock.
    const Clock::time_point emulatorStart = Clock::now();
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/korva-cli");
    for (int run = 0; run < runs; ++run) {
        emulator.clearLog();
        QProcess process;
        process.setProgram(program);
        process.setArguments((run % 2 && !alternate.isEmpty() ? alternate : arguments) +
                             QStringList{QStringLiteral("--port"), emulator.devicePath()});
        process.setStandardOutputFile(QProcess::nullDevice());
        const double cpuBefore = childrenCpuMs();
        const Clock::time_point started = Clock::now();
        process.start();
        const bool finished = process.waitForFinished(kFinishMs);
        const Clock::time_point ended = Clock::now();
        if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            process.kill();
            process.waitForFinished(kFinishMs);
            ++figures.failures;
            continue;
        }
        const double startUs = msBetween(emulatorStart, started) * 1000.0;
        const QList<WireByte> log = emulator.log();
        qint64 firstCommand = -1;
        qint64 lastAnswer = -1;
        for (const WireByte &byte : log) {
            if (byte.direction == WireByte::Direction::ToModule && firstCommand < 0)
                firstCommand = byte.usec;
            if (byte.direction == WireByte::Direction::FromModule)
                lastAnswer = byte.usec;
        }
        if (firstCommand < 0 || lastAnswer < 0) {
            ++figures.failures;
            continue;
        }
        const double wall = msBetween(started, ended);
        const double floor = (double(lastAnswer) - startUs) / 1000.0 + kBurstEndMs;
        figures.wallMs.add(wall);
        figures.floorMs.add(floor);
        figures.excessMs.add(wall - floor);
        figures.toCommandMs.add((double(firstCommand) - startUs) / 1000.0);
        figures.cpuMs.add(childrenCpuMs() - cpuBefore);
    }
    return figures;
}

} // namespace korva::bench
