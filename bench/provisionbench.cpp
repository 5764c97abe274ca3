#include "provisionbench.h"

#include "moduleemulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace korva::bench
{

namespace
{

constexpr double kProtocolPausesPerUnitMs = 100 + 200 + 200 + 500 + 100;
// A quick operator: the unit is off the line 100 ms after its read-back.
constexpr int kSwapMs = 100;

} // namespace

ProvisionFigures measureProvision(int units)
{
    ProvisionFigures figures;
    figures.units = units;
    figures.boundPerMinute = 60000.0 / kProtocolPausesPerUnitMs;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("unit"));
    const QString profile = dir.filePath(QStringLiteral("profile.json"));
    QFile file(profile);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly)) {
        figures.failed = true;
        return figures;
    }
    file.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
    file.close();

    emu::ModuleEmulator emulator;
    emulator.setLinkPath(link);
    emulator.setUnitSwap(kSwapMs, emu::ModuleEmulator::kDefaultConfig);
    QProcess process;
    process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/korva-cli"));
    process.setArguments({QStringLiteral("provision"), QStringLiteral("--port"), link,
                          QStringLiteral("--profile"), profile, QStringLiteral("--count"),
                          QString::number(units), QStringLiteral("-q")});
    QElapsedTimer wall;
    wall.start();
    process.start();
    const bool finished = process.waitForFinished(units * 10000);
    const double elapsedMs = double(wall.elapsed());
    const int lines = int(process.readAllStandardOutput().count('\n'));
    if (!finished || process.exitCode() != 0 || lines != units) {
        process.kill();
        process.waitForFinished();
        figures.failed = true;
        return figures;
    }
    figures.unitsPerMinute = units * 60000.0 / elapsedMs;
    return figures;
}

} // namespace korva::bench
