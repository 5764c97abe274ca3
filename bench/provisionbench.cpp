#include "provisionbench.h"

#include "moduleemulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace korva::bench
{

namespace
{

using emu::ModuleEmulator;
using emu::WireBurst;
using emu::WireByte;

constexpr double kProtocolPausesPerUnitMs = 100 + 200 + 200 + 500 + 100;
// A quick operator: the unit is off the line 100 ms after its read-back.
constexpr int kSwapMs = 100;

double childrenCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// The largest excess of one line's pauses over their lengths, from its log.
double worstGapExcessMs(const ModuleEmulator &emulator)
{
    QList<WireBurst> sent;
    for (const WireBurst &burst : emulator.bursts()) {
        if (burst.direction == WireByte::Direction::ToModule)
            sent << burst;
    }
    double worst = 0;
    for (qsizetype i = 0; i + 1 < sent.size(); ++i) {
        const QByteArray &now = sent.at(i).bytes;
        const QByteArray &next = sent.at(i + 1).bytes;
        const bool packet = now.size() == ModuleEmulator::kConfigSize;
        int pauseMs = 0;
        if (now == "+++")
            pauseMs = next.size() == ModuleEmulator::kConfigSize ? 200 : 100;
        else if (packet)
            pauseMs = 200;
        else if (now == "---" && i > 0 &&
                 sent.at(i - 1).bytes.size() == ModuleEmulator::kConfigSize)
            pauseMs = 500;
        if (pauseMs == 0)
            continue;
        const double gapMs = double(sent.at(i + 1).firstUsec - sent.at(i).lastUsec) / 1000.0;
        worst = std::max(worst, gapMs - pauseMs);
    }
    return worst;
}

} // namespace

double provisionBoundPerMinute()
{
    return 60000.0 / kProtocolPausesPerUnitMs;
}

ProvisionFigures measureProvision(int slotCount, int unitsPerSlot)
{
    ProvisionFigures figures;
    figures.slotCount = slotCount;
    figures.units = slotCount * unitsPerSlot;
    QTemporaryDir dir;
    const QString profile = dir.filePath(QStringLiteral("profile.json"));
    QFile file(profile);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly)) {
        figures.failed = true;
        return figures;
    }
    file.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
    file.close();

    std::vector<std::unique_ptr<ModuleEmulator>> lines;
    // Addresses are the profile's, so the ledger's time per unit stays out of
    // these figures; it has rows of its own.
    QStringList arguments{QStringLiteral("provision"),
                          QStringLiteral("--profile"),
                          profile,
                          QStringLiteral("--keep-profile-address"),
                          QStringLiteral("--ledger"),
                          dir.filePath(QStringLiteral("ledger.sqlite")),
                          QStringLiteral("--count"),
                          QString::number(figures.units),
                          QStringLiteral("-q")};
    for (int i = 0; i < slotCount; ++i) {
        const QString link = dir.filePath(QStringLiteral("slot%1").arg(i + 1));
        lines.push_back(std::make_unique<ModuleEmulator>());
        lines.back()->setLinkPath(link);
        lines.back()->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
        arguments << QStringLiteral("--port") << link;
    }
    QProcess process;
    process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/korva-cli"));
    process.setArguments(arguments);
    const double cpuBefore = childrenCpuMs();
    QElapsedTimer wall;
    wall.start();
    process.start();
    const bool finished = process.waitForFinished(figures.units * 10000);
    const double elapsedMs = double(wall.elapsed());
    const int printed = int(process.readAllStandardOutput().count('\n'));
    if (!finished || process.exitCode() != 0 || printed != figures.units) {
        process.kill();
        process.waitForFinished();
        figures.failed = true;
        return figures;
    }
    figures.unitsPerMinute = figures.units * 60000.0 / elapsedMs;
    figures.cpuMsPerUnit = (childrenCpuMs() - cpuBefore) / figures.units;
    for (const auto &line : lines)
        figures.worstGapExcessMs = std::max(figures.worstGapExcessMs, worstGapExcessMs(*line));
    return figures;
}

} // namespace korva::bench
