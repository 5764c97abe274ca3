#include "linebench.h"

#include "production/ledgerservice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace korva::bench
{

using namespace production;

namespace
{

const AddressRange kRange{0x00100000, 0x001FFFFF};
// Where a unit's packet leaves, and its record follows, within the unit.
constexpr int kPacketToRecordMs = 900;

struct Shared {
    QMutex mutex;
    LineFigures figures;
    QElapsedTimer clock;      // from the first slot's start
    QList<qint64> recordedMs; // when each unit's record was taken
    qint64 allRunningMs = 0;  // the last slot's first call
    qint64 firstDoneMs = -1;  // the first slot's last record
    void call(Samples &samples, const QElapsedTimer &clock, bool ok)
    {
        QMutexLocker lock(&mutex);
        if (ok)
            samples.add(double(clock.nsecsElapsed()) / 1e6);
        else
            ++figures.failedCalls;
    }
};

// One slot's calls for each of its units.
void runSlot(LedgerService &service, qint64 runId, const QString &station, int slot, int units,
             int paceMs, int startMs, Shared &shared)
{
    QThread::msleep(ulong(startMs));
    const auto ledger = service.client();
    {
        QMutexLocker lock(&shared.mutex);
        shared.allRunningMs = std::max(shared.allRunningMs, shared.clock.elapsed());
    }
    for (int unit = 0; unit < units; ++unit) {
        QElapsedTimer whole;
        whole.start();
        QElapsedTimer clock;
        clock.start();
        if (!ledger->passedRecord(0x01020304).ok()) {
            shared.call(shared.figures.takeMs, clock, false);
            continue;
        }
        const auto taken = ledger->reserve(kRange, runId, station);
        const bool took = taken.ok() && taken.value && ledger->markSent(*taken.value).isEmpty();
        shared.call(shared.figures.takeMs, clock, took);
        if (!took)
            continue;
        if (paceMs > 0)
            QThread::msleep(ulong(std::max<qint64>(0, kPacketToRecordMs - whole.elapsed())));
        UnitRecord record;
        record.runId = runId;
        record.sequence = slot * 100000 + unit + 1;
        record.slot = slot;
        record.started = currentTime();
        record.ended = record.started;
        record.packetLeft = true;
        record.address = *taken.value;
        record.addressState = AddressState::Passed;
        record.result = QStringLiteral("passed");
        record.writes = 1;
        clock.restart();
        const bool recorded = ledger->recordUnit(record).isEmpty();
        shared.call(shared.figures.recordMs, clock, recorded);
        if (recorded) {
            QMutexLocker lock(&shared.mutex);
            ++shared.figures.units;
            shared.recordedMs << shared.clock.elapsed();
        }
        ledger->nextFree(kRange);
        if (paceMs > 0)
            QThread::msleep(ulong(std::max<qint64>(0, paceMs - whole.elapsed())));
    }
    QMutexLocker lock(&shared.mutex);
    const qint64 done = shared.clock.elapsed();
    shared.firstDoneMs = shared.firstDoneMs < 0 ? done : std::min(shared.firstDoneMs, done);
}

} // namespace

LineFigures measureLine(const QString &url, int stations, int slotsPerStation, int unitsPerSlot,
                        int paceMs)
{
    Shared shared;
    const LedgerLocation where = std::get<LedgerLocation>(parseLedgerSpec(url));
    std::vector<std::unique_ptr<LedgerService>> services;
    std::vector<qint64> runs;
    for (int i = 0; i < stations; ++i) {
        services.push_back(std::make_unique<LedgerService>(where));
        RunStart start;
        start.station = QStringLiteral("station-%1").arg(i + 1);
        const auto run = services.back()->client()->startRun(start);
        if (!run.ok()) {
            shared.figures.failure = run.error;
            return shared.figures;
        }
        runs.push_back(run.value);
    }

    // How many connections the line holds open, looked at as it runs.
    QSqlDatabase watch =
        QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("line-watch"));
    watch.setHostName(where.host);
    watch.setPort(where.port);
    watch.setDatabaseName(where.database);
    watch.setUserName(where.user);
    watch.open();
    QTimer counting;
    QObject::connect(&counting, &QTimer::timeout, [&] {
        QSqlQuery query(watch);
        if (query.exec(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE "
                                      "application_name = 'korva'")) &&
            query.next())
            shared.figures.connections =
                std::max(shared.figures.connections, query.value(0).toInt());
    });
    counting.start(200);

    const int slotCount = stations * slotsPerStation;
    const int spreadMs = paceMs > 0 ? paceMs : 0;
    std::vector<std::unique_ptr<QThread>> threads;
    QEventLoop running;
    int left = slotCount;
    shared.clock.start();
    for (int i = 0; i < slotCount; ++i) {
        const int station = i / slotsPerStation;
        threads.emplace_back(
            QThread::create(runSlot, std::ref(*services[size_t(station)]), runs[size_t(station)],
                            QStringLiteral("station-%1").arg(station + 1), i + 1, unitsPerSlot,
                            paceMs, spreadMs * i / slotCount, std::ref(shared)));
        QObject::connect(threads.back().get(), &QThread::finished, &running, [&] {
            if (--left == 0)
                running.quit();
        });
        threads.back()->start();
    }
    running.exec(); // the connections are counted meanwhile
    // The rate while every slot runs: the slots start spread over one unit's
    // time, and the first to finish ends the window.
    const qint64 from = shared.allRunningMs;
    const qint64 to = std::max(shared.firstDoneMs, from + 1);
    shared.figures.seconds = double(to - from) / 1000.0;
    shared.figures.unitsInWindow =
        int(std::count_if(shared.recordedMs.cbegin(), shared.recordedMs.cend(),
                          [&](qint64 ms) { return ms > from && ms <= to; }));
    counting.stop();
    watch.close();
    watch = {};
    QSqlDatabase::removeDatabase(QStringLiteral("line-watch"));
    shared.figures.slotCount = slotCount;
    threads.clear();
    services.clear();

    auto opened = Ledger::open(where, Ledger::OpenMode::MustExist);
    if (auto *ledger = std::get_if<std::unique_ptr<Ledger>>(&opened)) {
        const auto checked = (*ledger)->check();
        if (checked.ok())
            shared.figures.faults = int(checked.value.faults.size());
    }
    return shared.figures;
}

} // namespace korva::bench
