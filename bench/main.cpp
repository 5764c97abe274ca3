#include "benchtable.h"
#include "clibench.h"
#include "ledgerbench.h"
#include "ledgerscale.h"
#include "linebench.h"
#include "pgserver.h"
#include "provisionbench.h"
#include "startupbench.h"
#include "stationbench.h"
#include "windowbench.h"

#include <QApplication>
#include <QDateTime>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace korva::bench;

namespace
{

constexpr int kRuns = 20;
constexpr int kProvisionedUnits = 10; // per slot
constexpr int kLedgerUnits = 100;
constexpr int kLedgerTakes = 50; // at each size of the ledger
// A line on one PostgreSQL server: 32 stations of 8 slots, each slot's unit
// taking as long as one slot provisions a unit at the protocol's pace.
constexpr int kLineStations = 32;
constexpr int kLineSlotsPerStation = 8;
constexpr int kLineUnitsPerSlot = 10;
constexpr int kLineUnitMs = 1220;
constexpr int kCapacityUnitsPerSlot = 20;
constexpr int kDefaultSoak = 1000;
// What the window may take beyond a bare Qt window: the load's 100 ms pause, and
// 15 ms for everything else it builds and reads.
constexpr int kStartupAllowanceMs = 115;

int soakRequests()
{
    bool ok = false;
    const int requests = qEnvironmentVariableIntValue("KORVA_BENCH_SOAK", &ok);
    return ok && requests > 0 ? requests : kDefaultSoak;
}

void progress(const char *text)
{
    std::fprintf(stderr, "korva-bench: %s\n", text);
}

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString mib(qint64 kib)
{
    return kib < 0 ? QStringLiteral("unknown") : number(double(kib) / 1024.0);
}

void addStartupRows(BenchTable &table, const StartupFigures &startup)
{
    const QString mapped = QStringLiteral("Start-up: process start to window mapped (ms)");
    const QString resident = QStringLiteral("Start-up: resident memory once idle (MB)");
    if (!startup.skipped.isEmpty()) {
        table.addSkipped(mapped, startup.skipped,
                         QStringLiteral("< bare + %1 median").arg(kStartupAllowanceMs));
        table.addSkipped(resident, startup.skipped, QStringLiteral("< 40"));
        return;
    }
    table.addSamples(QStringLiteral("Start-up: bare Qt window, process start to mapped (ms)"),
                     startup.bareMappedMs, QString());
    table.addSamples(mapped, startup.mappedMs,
                     QStringLiteral("< bare + %1 median").arg(kStartupAllowanceMs));
    table.addSamples(
        QStringLiteral("Start-up: less the bare window started beside it (ms)"), startup.overBareMs,
        QStringLiteral("<= %1 median (the 100 ms pause + 15)").arg(kStartupAllowanceMs));
    table.addSamples(resident, startup.residentMiB, QStringLiteral("< 40"));
    table.addRow(QStringLiteral("Start-up: starts that ended or never mapped a window"), QString(),
                 QString(), QString::number(startup.failedRuns), startup.failure,
                 QStringLiteral("0"));
    table.addRow(QStringLiteral("Start-up: starts refused by the X server, retried"), QString(),
                 QString(), QString::number(startup.refusedStarts), QString(), QString());
}

void addReadRows(BenchTable &table, const ReadFigures &reads)
{
    table.addSamples(QStringLiteral("Read: click on Connect to last field decoded (ms)"),
                     reads.latencyMs, QString());
    table.addSamples(QStringLiteral("Read: protocol floor, last answer byte + 100 ms (ms)"),
                     reads.floorMs, QString());
    table.addSamples(QStringLiteral("Read: excess over the floor (ms)"), reads.excessMs,
                     QStringLiteral("< 5 median at 38400 baud"));
    table.addSamples(QStringLiteral("Wire: request \"+++\" to \"---\" (ms)"), reads.requestGapMs,
                     QStringLiteral("100 to 105"));
}

void addSetRows(BenchTable &table, const SetFigures &sets)
{
    table.addSamples(QStringLiteral("Wire: Set \"+++\" to packet (ms)"), sets.beforePacketMs,
                     QStringLiteral("200 to 205"));
    table.addSamples(QStringLiteral("Wire: Set packet to \"---\" (ms)"), sets.afterPacketMs,
                     QStringLiteral("200 to 205"));
    table.addSamples(QStringLiteral("Wire: Set \"---\" to read-back \"+++\" (ms)"),
                     sets.beforeReadBackMs, QStringLiteral("500 to 505"));
    table.addSamples(QStringLiteral("Wire: read-back \"+++\" to \"---\" (ms)"), sets.readBackMs,
                     QStringLiteral("100 to 105"));
    table.addRow(QStringLiteral("Wire: Set runs not decoded or with unexpected bytes"),
                 QString::number(kRuns), QString(), QString::number(sets.malformed), QString(),
                 QStringLiteral("0"));
    table.addSamples(QStringLiteral("CPU: one Set with read-back, whole process (ms)"),
                     sets.processCpuMs, QStringLiteral("< 20"));
    table.addSamples(QStringLiteral("CPU: one Set with read-back, main thread (ms)"),
                     sets.threadCpuMs, QStringLiteral("< 20"));
}

void addSoakRows(BenchTable &table, const SoakFigures &soak)
{
    const QString runs = QString::number(soak.requests);
    table.addRow(QStringLiteral("Soak: requests decoded"), runs, QString(),
                 QStringLiteral("%1 of %2").arg(soak.decoded).arg(soak.requests), QString(),
                 QStringLiteral("all"));
    table.addRow(QStringLiteral("Soak: decoded with a different text"), runs, QString(),
                 QString::number(soak.wrongText), QString(), QStringLiteral("0"));
    table.addRow(QStringLiteral("Soak: resident memory after 50 requests (MB)"), runs, QString(),
                 mib(soak.rssAfter50KiB), QString(), QString());
    table.addRow(QStringLiteral("Soak: resident memory at the end (MB)"), runs, QString(),
                 mib(soak.rssAtEndKiB), QString(), QString());
    const bool known = soak.rssAfter50KiB >= 0 && soak.rssAtEndKiB >= 0;
    table.addRow(QStringLiteral("Soak: growth after the first 50 (MB)"), runs, QString(),
                 known ? mib(soak.rssAtEndKiB - soak.rssAfter50KiB) : QStringLiteral("unknown"),
                 QString(), QStringLiteral("within 1"));
}

void addCliRows(BenchTable &table, const QString &verb, const CliFigures &figures)
{
    const QString prefix = QStringLiteral("korva-cli %1: ").arg(verb);
    table.addSamples(prefix + QStringLiteral("process start to exit (ms)"), figures.wallMs,
                     QString());
    table.addSamples(prefix + QStringLiteral("protocol floor, last answer byte + 100 ms (ms)"),
                     figures.floorMs, QString());
    table.addSamples(prefix + QStringLiteral("excess over the floor (ms)"), figures.excessMs,
                     QStringLiteral("< 60 median"));
    table.addSamples(prefix + QStringLiteral("process start to the first \"+++\" (ms)"),
                     figures.toCommandMs, QString());
    table.addSamples(prefix + QStringLiteral("CPU time of the whole process (ms)"), figures.cpuMs,
                     QString());
    table.addRow(prefix + QStringLiteral("runs that did not exit 0"), QString::number(kRuns),
                 QString(), QString::number(figures.failures), QString(), QStringLiteral("0"));
}

QString provisionRate(const ProvisionFigures &figures)
{
    return figures.failed ? QStringLiteral("failed") : number(figures.unitsPerMinute, 1);
}

// One slot against the protocol's bound; several against as many times one slot
// alone, with the wire timing and the CPU of the busiest run.
void addProvisionRows(BenchTable &table, const QList<ProvisionFigures> &runs)
{
    const ProvisionFigures &one = runs.constFirst();
    const double bound = provisionBoundPerMinute();
    table.addRow(QStringLiteral("korva-cli provision: units per minute, 1 slot (unit removed "
                                "100 ms after its read-back)"),
                 QString::number(one.units), QString(), provisionRate(one), QString(),
                 QStringLiteral(">= %1 (90 % of the bound below)").arg(number(0.9 * bound, 1)));
    table.addRow(QStringLiteral("korva-cli provision: the protocol's bound for 1 slot (units per "
                                "minute)"),
                 QString(), QString(), number(bound, 1), QString(),
                 QStringLiteral("Set with its read-back (1.0 s) and 0.1 s of quiet after its "
                                "\"---\", a unit; leaves out the bytes' time on the line, the "
                                "ledger, and taking a unit off and attaching the next (0.2 s "
                                "here, so %1 units in a row cannot pass %2)")
                     .arg(kProvisionedUnits)
                     .arg(number(provisionBenchCeilingPerMinute(kProvisionedUnits), 1)));
    for (const ProvisionFigures &figures : runs.mid(1)) {
        table.addRow(QStringLiteral("korva-cli provision: units per minute, %1 slots")
                         .arg(figures.slotCount),
                     QString::number(figures.units), QString(), provisionRate(figures), QString(),
                     QStringLiteral(">= %1 (95 % of %2 x 1 slot)")
                         .arg(number(0.95 * figures.slotCount * one.unitsPerMinute, 1))
                         .arg(figures.slotCount));
    }
    const ProvisionFigures &most = runs.constLast();
    const bool measured = !one.failed && !most.failed;
    table.addRow(
        QStringLiteral("korva-cli provision: %1 slots against %1 x 1 slot (%)").arg(most.slotCount),
        QString(), QString(),
        measured ? number(100.0 * most.unitsPerMinute / (most.slotCount * one.unitsPerMinute), 1)
                 : QStringLiteral("failed"),
        QString(), QStringLiteral(">= 95"));
    table.addRow(QStringLiteral("korva-cli provision: worst pause excess on a line, %1 slots "
                                "busy (ms)")
                     .arg(most.slotCount),
                 QString::number(most.units), QString(), QString(),
                 most.failed ? QStringLiteral("failed") : number(most.worstGapExcessMs),
                 QStringLiteral("<= 5"));
    double shortestQuietMs = 1e9;
    for (const ProvisionFigures &figures : runs)
        shortestQuietMs = std::min(shortestQuietMs, figures.shortestQuietMs);
    table.addRow(QStringLiteral("korva-cli provision: shortest quiet after \"---\" before the "
                                "next \"+++\" on a line, 1 to %1 slots (ms)")
                     .arg(most.slotCount),
                 QString(), number(shortestQuietMs), QString(), QString(),
                 QStringLiteral(">= 100"));
    for (const ProvisionFigures &figures : {one, most})
        table.addRow(QStringLiteral("korva-cli provision: CPU per unit, whole process, %1 "
                                    "slot%2 (ms)")
                         .arg(figures.slotCount)
                         .arg(figures.slotCount == 1 ? QString() : QStringLiteral("s")),
                     QString::number(figures.units), QString(),
                     figures.failed ? QStringLiteral("failed") : number(figures.cpuMsPerUnit),
                     QString(), QString());
}

// korva-station: its start-up beside a bare Qt window, and a run on 8 slots
// beside korva-cli's on as many: the rate, the CPU per unit and the wire timing.
void addStationRows(BenchTable &table, const StartupFigures &startup, const ProvisionFigures &cli,
                    const StationFigures &station)
{
    const QString mapped = QStringLiteral("korva-station: process start to window mapped (ms)");
    if (!startup.skipped.isEmpty()) {
        table.addSkipped(mapped, startup.skipped, QString());
    } else {
        table.addSamples(QStringLiteral("korva-station: bare Qt window started beside it (ms)"),
                         startup.bareMappedMs, QString());
        table.addSamples(mapped, startup.mappedMs, QString());
        table.addSamples(QStringLiteral("korva-station: less the bare window (ms)"),
                         startup.overBareMs, QString());
        table.addSamples(QStringLiteral("korva-station: resident memory once idle (MB)"),
                         startup.residentMiB, QString());
    }
    const QString slotCount = QString::number(station.slotCount);
    const QString units = QString::number(station.units);
    if (!station.failure.isEmpty()) {
        table.addSkipped(QStringLiteral("korva-station: %1 slots").arg(slotCount), station.failure,
                         QString());
        return;
    }
    table.addRow(QStringLiteral("korva-station: units per minute, %1 slots").arg(slotCount), units,
                 QString(), number(station.unitsPerMinute, 1), QString(),
                 cli.failed ? QString()
                            : QStringLiteral(">= %1 (95 % of korva-cli's)")
                                  .arg(number(0.95 * cli.unitsPerMinute, 1)));
    table.addRow(QStringLiteral("korva-station: worst pause excess on a line, %1 slots busy (ms)")
                     .arg(slotCount),
                 units, QString(), QString(), number(station.worstGapExcessMs),
                 QStringLiteral("<= 5, as korva-cli"));
    table.addRow(
        QStringLiteral("korva-station: CPU per unit, whole process, %1 slots (ms)").arg(slotCount),
        units, QString(), number(station.cpuMsPerUnit), QString(), QString());
}

// The sizes the ledger is measured at, up to KORVA_BENCH_LEDGER_MAX addresses.
QList<qint64> ledgerSizes()
{
    bool ok = false;
    const qint64 most = qEnvironmentVariable("KORVA_BENCH_LEDGER_MAX").toLongLong(&ok);
    QList<qint64> sizes;
    for (const qint64 size : {0LL, 100000LL, 1000000LL, 10000000LL})
        if (!ok || size <= most)
            sizes << size;
    return sizes;
}

void addLedgerScaleRows(BenchTable &table, const QString &database, int targetMs,
                        const QString &where)
{
    const QString target = QStringLiteral("<= %1 median").arg(targetMs);
    const LedgerScaleFigures figures = measureLedgerScale(where, ledgerSizes(), kLedgerTakes);
    for (const auto &[size, samples] : figures.takeMs)
        table.addSamples(QStringLiteral("Ledger on %1: one take, %2 addresses issued (ms)")
                             .arg(database)
                             .arg(size),
                         samples, target);
    const qint64 largest = figures.takeMs.isEmpty() ? 0 : figures.takeMs.constLast().first;
    const QString check =
        QStringLiteral("Ledger on %1: korva-cli ledger %3, %2 addresses and units")
            .arg(database)
            .arg(largest);
    if (!figures.failure.isEmpty() || figures.checkOutcome != QLatin1String("No faults."))
        return table.addSkipped(check.arg(QStringLiteral("status and check")),
                                figures.failure.isEmpty() ? figures.checkOutcome
                                                          : figures.failure.section(u'\n', 0, 0),
                                QString());
    for (const auto &[verb, seconds, peak] :
         {std::tuple{QStringLiteral("check"), figures.checkSeconds, figures.checkPeakMiB},
          std::tuple{QStringLiteral("status"), figures.statusSeconds, figures.statusPeakMiB}}) {
        table.addRow(check.arg(verb) + QStringLiteral(" (s)"), QStringLiteral("1"), QString(),
                     number(seconds), QString(), QString());
        table.addRow(check.arg(verb) + QStringLiteral(", peak memory (MB)"), QStringLiteral("1"),
                     QString(), number(peak), QString(), QStringLiteral("<= 100"));
    }
}

// A line of 32 stations of 8 slots on one stock server (max_connections 100),
// the ledger side only (see linebench.h): its capacity with every slot calling
// back to back, and the line at its real pace.
void addLineRows(BenchTable &table, PgServer &server)
{
    const int slotCount = kLineStations * kLineSlotsPerStation;
    const QString line =
        QStringLiteral("%1 stations x %2 slots").arg(kLineStations).arg(kLineSlotsPerStation);
    progress("the ledger of a line of 32 stations of 8 slots");
    const LineFigures capacity =
        measureLine(server.createDatabase(QStringLiteral("capacity")), kLineStations,
                    kLineSlotsPerStation, kCapacityUnitsPerSlot, 0);
    const LineFigures paced =
        measureLine(server.createDatabase(QStringLiteral("line")), kLineStations,
                    kLineSlotsPerStation, kLineUnitsPerSlot, kLineUnitMs);
    const QString capacityFigure =
        QStringLiteral("Ledger capacity, %1 slots at once (%2): takes and records a second")
            .arg(slotCount)
            .arg(line);
    const QString pacedFigure =
        QStringLiteral("Line of %1 on one PostgreSQL server, ledger side at %2 s a unit a slot: "
                       "units a second")
            .arg(line, number(kLineUnitMs / 1000.0));
    for (const LineFigures *figures : {&capacity, &paced}) {
        if (!figures->failure.isEmpty()) {
            table.addSkipped(figures == &capacity ? capacityFigure : pacedFigure,
                             figures->failure.section(u'\n', 0, 0), QString());
            return;
        }
    }
    table.addRow(capacityFigure, QString::number(capacity.units), QString(),
                 number(capacity.unitsPerSecond(), 1), QString(),
                 QStringLiteral(">= 130 (a real line's need)"));
    table.addRow(pacedFigure, QString::number(paced.units), QString(),
                 number(paced.unitsPerSecond(), 1), QString(),
                 QStringLiteral(">= %1 (95 % of %2 x one slot)")
                     .arg(number(0.95 * slotCount * 1000.0 / kLineUnitMs, 1))
                     .arg(slotCount));
    table.addSamples(QStringLiteral("Line of %1: take and mark sent (ms)").arg(line), paced.takeMs,
                     QStringLiteral("< 110 median"));
    table.addSamples(QStringLiteral("Line of %1: unit record (ms)").arg(line), paced.recordMs,
                     QStringLiteral("< 110 median"));
    table.addRow(QStringLiteral("Line of %1: connections to the server at once, most").arg(line),
                 QString(), QString(),
                 QString::number(std::max(capacity.connections, paced.connections)), QString(),
                 QStringLiteral("<= %1 (one a station; max_connections 100)").arg(kLineStations));
    table.addRow(QStringLiteral("Line of %1: failed ledger calls, ledger check faults").arg(line),
                 QString(), QString(),
                 QStringLiteral("%1, %2")
                     .arg(capacity.failedCalls + paced.failedCalls)
                     .arg(std::max(capacity.faults, paced.faults)),
                 QString(), QStringLiteral("0, 0"));
}

void addSharedLedgerRows(BenchTable &table, PgServer &server);

QList<ProvisionFigures> measureProvisionRuns()
{
    progress("korva-cli provision, 1, 2, 4 and 8 slots");
    QList<ProvisionFigures> runs;
    for (const int slotCount : {1, 2, 4, 8})
        runs << measureProvision(slotCount, kProvisionedUnits);
    return runs;
}

// The ledger on a file of its own and on a private PostgreSQL server, each
// writing to disk as in production; then stations sharing that server.
void addLedgerRows(BenchTable &table)
{
    // A tenth of the 1.1 s that the protocol's pauses take per unit.
    const QString target = QStringLiteral("< 110 median");
    const auto add = [&](const QString &database, const QString &ledger) {
        const QString figure =
            QStringLiteral("Ledger on %1: reserve, sent, passed, unit record (ms per unit)")
                .arg(database);
        const LedgerFigures figures = measureLedger(ledger, kLedgerUnits);
        if (!figures.failure.isEmpty())
            return table.addSkipped(figure, figures.failure, target);
        table.addSamples(figure, figures.msPerUnit, target);
    };
    QTemporaryDir folder;
    add(QStringLiteral("SQLite"), folder.filePath(QStringLiteral("ledger.sqlite")));
    progress("the ledger as it grows, on SQLite");
    addLedgerScaleRows(table, QStringLiteral("SQLite"), 5,
                       folder.filePath(QStringLiteral("large.sqlite")));
    PgServer server(true);
    const QString url = server.createDatabase(QStringLiteral("bench"));
    if (url.isEmpty())
        return table.addSkipped(QStringLiteral("Ledger on PostgreSQL"),
                                server.error().section(u'\n', 0, 0), target);
    add(QStringLiteral("PostgreSQL"), url);
    progress("the ledger as it grows, on PostgreSQL");
    addLedgerScaleRows(table, QStringLiteral("PostgreSQL"), 10,
                       server.createDatabase(QStringLiteral("large")));
    addLineRows(table, server);
    addSharedLedgerRows(table, server);
}

// Four stations of one slot each on one PostgreSQL ledger, against one alone.
void addSharedLedgerRows(BenchTable &table, PgServer &server)
{
    progress("korva-cli provision, one and four stations on one PostgreSQL ledger");
    const ProvisionFigures one =
        measureProvision(1, kProvisionedUnits, 1, server.createDatabase(QStringLiteral("one")));
    const ProvisionFigures four =
        measureProvision(1, kProvisionedUnits, 4, server.createDatabase(QStringLiteral("four")));
    table.addRow(QStringLiteral("korva-cli provision: units per minute, 1 station on a "
                                "PostgreSQL ledger"),
                 QString::number(one.units), QString(), provisionRate(one), QString(), QString());
    table.addRow(QStringLiteral("korva-cli provision: units per minute, 4 stations sharing "
                                "one PostgreSQL ledger"),
                 QString::number(four.units), QString(), provisionRate(four), QString(),
                 QStringLiteral(">= %1 (95 % of 4 x 1 station)")
                     .arg(number(0.95 * 4 * one.unitsPerMinute, 1)));
}

} // namespace

int main(int argc, char *argv[])
{
    // The window runs offscreen in this process, with a settings store (and a
    // data folder) of its own that must be in place before anything opens QSettings.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    if (!config.isValid()) {
        progress("cannot create a temporary settings folder");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    // The journals of the provision runs stay out of the user's data folder too.
    const QString data = config.filePath(QStringLiteral("data"));
    qputenv("XDG_DATA_HOME", data.toLocal8Bit());
    QApplication app(argc, argv);
    const int soak = soakRequests();

    BenchTable table;
    // --ledger: the ledger's rows alone.
    if (app.arguments().contains(QStringLiteral("--ledger"))) {
        addLedgerRows(table);
        print(table.text());
        return 0;
    }
    // --provision: korva-cli provision's rows alone, with korva-station's run
    // beside them (its start-up is not measured then).
    if (app.arguments().contains(QStringLiteral("--provision"))) {
        const QList<ProvisionFigures> runs = measureProvisionRuns();
        addProvisionRows(table, runs);
        progress("korva-station: 8 slots");
        StartupFigures notMeasured;
        notMeasured.skipped = QStringLiteral("not measured with --provision");
        addStationRows(table, notMeasured, runs.constLast(), measureStation(8, kProvisionedUnits));
        PgServer server(true);
        if (server.isRunning())
            addSharedLedgerRows(table, server);
        print(table.text());
        return 0;
    }
    progress("start-up of the program under the X server");
    addStartupRows(table, measureStartup(kRuns));

    WindowBench bench;
    QString error;
    if (!bench.start(&error)) {
        progress(qPrintable(error));
        return 1;
    }
    progress("configuration reads");
    addReadRows(table, bench.measureReads(kRuns));
    const int baud = bench.lineBaud();
    progress("Set with read-back");
    addSetRows(table, bench.measureSets(kRuns));
    progress("korva-cli read and write");
    addCliRows(table, QStringLiteral("read"), measureCli({QStringLiteral("read")}, {}, kRuns));
    addCliRows(
        table, QStringLiteral("write"),
        measureCli(
            {QStringLiteral("write"), QStringLiteral("--set"), QStringLiteral("tx-power=-21 dBm")},
            {QStringLiteral("write"), QStringLiteral("--set"), QStringLiteral("tx-power=0 dBm")},
            kRuns));
    const QList<ProvisionFigures> provisionRuns = measureProvisionRuns();
    addProvisionRows(table, provisionRuns);
    progress("korva-station: start-up, and 8 slots");
    addStationRows(table, measureStartup(kRuns, QStringLiteral("korva-station")),
                   provisionRuns.constLast(), measureStation(8, kProvisionedUnits));
    progress("the provisioning ledger");
    addLedgerRows(table);
    progress("soak");
    addSoakRows(table, bench.soak(soak));
    table.addRow(QStringLiteral("Message boxes shown during the runs"), QString(), QString(),
                 QString::number(bench.messageBoxes()), QString(), QStringLiteral("0"));

    print(QStringLiteral("KORVA benchmark, %1\n\n")
              .arg(QDateTime::currentDateTime().toString(Qt::ISODate)));
    print(QStringLiteral("- cores: %1\n- Qt: %2 (built with %3)\n- build type: %4\n"
                         "- line rate: %5 baud\n- soak: %6 requests\n\n")
              .arg(std::thread::hardware_concurrency())
              .arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR),
                   QStringLiteral(KORVA_BENCH_BUILD_TYPE))
              .arg(baud)
              .arg(soak));
    print(table.text());
    return 0;
}
