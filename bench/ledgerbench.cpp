#include "ledgerbench.h"

#include "production/ledger.h"

#include <QElapsedTimer>

namespace korva::bench
{

using namespace production;

BenchRun startBenchRun(const LedgerLocation &where)
{
    BenchRun run;
    auto opened = Ledger::open(where);
    if (const auto *error = std::get_if<QString>(&opened)) {
        run.failure = *error;
        return run;
    }
    run.ledger = std::move(std::get<std::unique_ptr<Ledger>>(opened));
    RunStart start;
    start.station = QStringLiteral("bench");
    const auto started = run.ledger->startRun(start);
    run.id = started.value;
    run.failure = started.error;
    return run;
}

UnitRecord passedUnit(qint64 runId, int sequence, quint32 address)
{
    UnitRecord unit;
    unit.runId = runId;
    unit.sequence = sequence;
    unit.started = unit.ended = currentTime();
    unit.packetLeft = true;
    unit.address = address;
    unit.addressState = AddressState::Passed;
    unit.result = QStringLiteral("passed");
    return unit;
}

LedgerFigures measureLedger(const QString &where, int units)
{
    LedgerFigures figures;
    BenchRun run = startBenchRun(std::get<LedgerLocation>(parseLedgerSpec(where)));
    figures.failure = run.failure;
    const AddressRange range{0x00010000, 0x0001FFFF};
    for (int sequence = 1; figures.failure.isEmpty() && sequence <= units; ++sequence) {
        QElapsedTimer clock;
        clock.start();
        Ledger &ledger = *run.ledger;
        const auto taken = ledger.reserve(range, run.id, QStringLiteral("bench"));
        if (!taken.ok() || !taken.value) {
            figures.failure = taken.ok() ? QStringLiteral("range used up") : taken.error;
            break;
        }
        figures.failure = ledger.markSent(*taken.value);
        if (figures.failure.isEmpty())
            figures.failure = ledger.finish(*taken.value, true);
        if (figures.failure.isEmpty())
            figures.failure = ledger.recordUnit(passedUnit(run.id, sequence, *taken.value));
        if (figures.failure.isEmpty())
            figures.msPerUnit.add(double(clock.nsecsElapsed()) / 1e6);
    }
    return figures;
}

} // namespace korva::bench
