#include "stationbench.h"

#include "moduleemulator.h"
#include "processinfo.h"
#include "provisionbench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace korva::bench
{

namespace
{

using emu::ModuleEmulator;

// As for korva-cli provision: the unit is off the line 100 ms after its read-back.
constexpr int kSwapMs = 100;
constexpr int kPollMs = 50;

int packetsOn(const ModuleEmulator &line)
{
    int packets = 0;
    for (const emu::WireBurst &burst : line.bursts()) {
        packets += burst.direction == emu::WireByte::Direction::ToModule &&
                   burst.bytes.size() == ModuleEmulator::kConfigSize;
    }
    return packets;
}

} // namespace

StationFigures measureStation(int slotCount, int unitsPerSlot)
{
    StationFigures figures;
    figures.slotCount = slotCount;
    figures.units = slotCount * unitsPerSlot;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        figures.failure = QStringLiteral("DISPLAY is not set (run under xvfb-run)");
        return figures;
    }
    QTemporaryDir dir;
    QFile profile(dir.filePath(QStringLiteral("profile.json")));
    if (!dir.isValid() || !profile.open(QIODevice::WriteOnly)) {
        figures.failure = QStringLiteral("cannot write a profile");
        return figures;
    }
    profile.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
    profile.close();

    // Addresses are the profile's, as for korva-cli's figures: the ledger's
    // time per unit stays out of them.
    std::vector<std::unique_ptr<ModuleEmulator>> lines;
    QStringList ports;
    for (int i = 0; i < slotCount; ++i) {
        ports << dir.filePath(QStringLiteral("line%1").arg(i));
        lines.push_back(std::make_unique<ModuleEmulator>());
        lines.back()->setLinkPath(ports.last());
        lines.back()->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
    }
    const QJsonObject job{{QStringLiteral("profile"), profile.fileName()},
                          {QStringLiteral("keep-profile-address"), true},
                          {QStringLiteral("ledger"), dir.filePath(QStringLiteral("ledger.sqlite"))},
                          {QStringLiteral("ports"), QJsonArray::fromStringList(ports)},
                          {QStringLiteral("target"), figures.units}};
    QFile jobFile(dir.filePath(QStringLiteral("job.json")));
    if (!jobFile.open(QIODevice::WriteOnly) || jobFile.write(QJsonDocument(job).toJson()) < 0) {
        figures.failure = QStringLiteral("cannot write the job");
        return figures;
    }
    jobFile.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    QProcess station;
    station.setProcessEnvironment(environment);
    station.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/korva-station"));
    station.setArguments({jobFile.fileName(), QStringLiteral("--start")});
    const double cpuBefore = childrenCpuMs();
    QElapsedTimer wall;
    wall.start();
    station.start();
    const qint64 limitMs = qint64(figures.units) * 10000;
    const auto done = [&] {
        int packets = 0;
        bool idle = true;
        for (const auto &line : lines) {
            packets += packetsOn(*line);
            idle = idle && !line->inCommandMode();
        }
        return packets >= figures.units && idle;
    };
    while (!done() && station.state() != QProcess::NotRunning && wall.elapsed() < limitMs)
        QTest::qWait(kPollMs);
    const double elapsedMs = double(wall.elapsed());
    const bool finished = done();
    station.terminate();
    if (!station.waitForFinished(10000)) {
        station.kill();
        station.waitForFinished();
    }
    if (!finished || station.exitStatus() != QProcess::NormalExit || station.exitCode() != 0) {
        figures.failure =
            QStringLiteral("the run did not write its units or did not end cleanly: ") +
            QString::fromLocal8Bit(station.readAllStandardError()).trimmed();
        return figures;
    }
    figures.unitsPerMinute = figures.units * 60000.0 / elapsedMs;
    figures.cpuMsPerUnit = (childrenCpuMs() - cpuBefore) / figures.units;
    for (const auto &line : lines)
        figures.worstGapExcessMs = std::max(figures.worstGapExcessMs, worstGapExcessMs(*line));
    return figures;
}

} // namespace korva::bench
