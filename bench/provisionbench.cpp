#include "provisionbench.h"

#include "moduleemulator.h"
#include "processinfo.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace korva::bench
{

namespace
{

using emu::ModuleEmulator;
using emu::WireBurst;
using emu::WireByte;

constexpr double kProtocolPausesPerUnitMs = 200 + 200 + 500 + 100 + 100;
// A quick operator: the unit is off the line 100 ms after its read-back.
constexpr int kSwapMs = 100;

} // namespace

LineGaps lineGaps(const emu::ModuleEmulator &emulator)
{
    QList<WireBurst> sent;
    for (const WireBurst &burst : emulator.bursts()) {
        if (burst.direction == WireByte::Direction::ToModule)
            sent << burst;
    }
    LineGaps gaps;
    for (qsizetype i = 0; i + 1 < sent.size(); ++i) {
        const QByteArray &now = sent.at(i).bytes;
        const QByteArray &next = sent.at(i + 1).bytes;
        const bool packet = now.size() == ModuleEmulator::kConfigSize;
        const double gapMs = double(sent.at(i + 1).firstUsec - sent.at(i).lastUsec) / 1000.0;
        if (now == "---" && next == "+++")
            gaps.shortestQuietMs = std::min(gaps.shortestQuietMs, gapMs);
        int pauseMs = 0;
        if (now == "+++")
            pauseMs = next.size() == ModuleEmulator::kConfigSize ? 200 : 100;
        else if (packet)
            pauseMs = 200;
        else if (now == "---" && i > 0 &&
                 sent.at(i - 1).bytes.size() == ModuleEmulator::kConfigSize)
            pauseMs = 500;
        if (pauseMs > 0)
            gaps.worstExcessMs = std::max(gaps.worstExcessMs, gapMs - pauseMs);
    }
    return gaps;
}

double worstGapExcessMs(const emu::ModuleEmulator &emulator)
{
    return lineGaps(emulator).worstExcessMs;
}

double provisionBoundPerMinute()
{
    return 60000.0 / kProtocolPausesPerUnitMs;
}

double provisionBenchCeilingPerMinute(int units)
{
    const double setMs = kProtocolPausesPerUnitMs - 100;
    return 60000.0 * units / (units * setMs + (units - 1) * 2 * kSwapMs);
}

ProvisionFigures measureProvision(int slotCount, int unitsPerSlot, int stations,
                                  const QString &ledger)
{
    ProvisionFigures figures;
    figures.slotCount = slotCount;
    figures.units = stations * slotCount * unitsPerSlot;
    QTemporaryDir dir;
    const QString profile = dir.filePath(QStringLiteral("profile.json"));
    QFile file(profile);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly)) {
        figures.failed = true;
        return figures;
    }
    file.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
    file.close();

    // On a ledger of its own, addresses are the profile's, so the ledger's
    // time per unit stays out of the figures; on a shared one they are taken
    // from it, as stations on one line do.
    const QStringList addresses =
        ledger.isEmpty()
            ? QStringList{QStringLiteral("--keep-profile-address")}
            : QStringList{QStringLiteral("--addresses"), QStringLiteral("00010000-FFFFFFFF")};
    std::vector<std::unique_ptr<ModuleEmulator>> lines;
    std::vector<std::unique_ptr<QProcess>> runs;
    for (int station = 1; station <= stations; ++station) {
        QStringList arguments{QStringLiteral("provision"),
                              QStringLiteral("--profile"),
                              profile,
                              QStringLiteral("--ledger"),
                              ledger.isEmpty() ? dir.filePath(QStringLiteral("ledger.sqlite"))
                                               : ledger,
                              QStringLiteral("--station"),
                              QStringLiteral("bench-%1").arg(station),
                              QStringLiteral("--count"),
                              QString::number(slotCount * unitsPerSlot),
                              QStringLiteral("-q")};
        arguments << addresses;
        for (int i = 0; i < slotCount; ++i) {
            const QString link = dir.filePath(QStringLiteral("line%1-%2").arg(station).arg(i));
            lines.push_back(std::make_unique<ModuleEmulator>());
            lines.back()->setLinkPath(link);
            lines.back()->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
            arguments << QStringLiteral("--port") << link;
        }
        runs.push_back(std::make_unique<QProcess>());
        runs.back()->setProgram(QCoreApplication::applicationDirPath() +
                                QStringLiteral("/korva-cli"));
        runs.back()->setArguments(arguments);
    }
    const double cpuBefore = childrenCpuMs();
    QElapsedTimer wall;
    wall.start();
    for (const auto &run : runs)
        run->start();
    int printed = 0;
    for (const auto &run : runs) {
        const bool finished = run->waitForFinished(figures.units * 10000);
        printed += int(run->readAllStandardOutput().count('\n'));
        if (!finished || run->exitCode() != 0) {
            run->kill();
            run->waitForFinished();
            figures.failed = true;
        }
    }
    const double elapsedMs = double(wall.elapsed());
    if (figures.failed || printed != figures.units) {
        figures.failed = true;
        return figures;
    }
    figures.unitsPerMinute = figures.units * 60000.0 / elapsedMs;
    figures.cpuMsPerUnit = (childrenCpuMs() - cpuBefore) / figures.units;
    figures.shortestQuietMs = 1e9;
    for (const auto &line : lines) {
        const LineGaps gaps = lineGaps(*line);
        figures.worstGapExcessMs = std::max(figures.worstGapExcessMs, gaps.worstExcessMs);
        figures.shortestQuietMs = std::min(figures.shortestQuietMs, gaps.shortestQuietMs);
    }
    return figures;
}

} // namespace korva::bench
