#include "ledgerbench.h"

#include "production/ledger.h"

#include <QElapsedTimer>

namespace korva::bench
{

using namespace production;

LedgerFigures measureLedger(const QString &where, int units)
{
    LedgerFigures figures;
    auto opened = Ledger::open(std::get<LedgerLocation>(parseLedgerSpec(where)));
    if (const auto *error = std::get_if<QString>(&opened)) {
        figures.failure = *error;
        return figures;
    }
    Ledger &ledger = *std::get<std::unique_ptr<Ledger>>(opened);
    RunStart start;
    start.station = QStringLiteral("bench");
    const auto run = ledger.startRun(start);
    figures.failure = run.error;
    const AddressRange range{0x00010000, 0x0001FFFF};
    for (int sequence = 1; figures.failure.isEmpty() && sequence <= units; ++sequence) {
        QElapsedTimer clock;
        clock.start();
        const auto taken = ledger.reserve(range, run.value, start.station);
        if (!taken.ok() || !taken.value) {
            figures.failure = taken.ok() ? QStringLiteral("range used up") : taken.error;
            break;
        }
        UnitRecord unit;
        unit.runId = run.value;
        unit.sequence = sequence;
        unit.started = currentTime();
        unit.ended = unit.started;
        unit.packetLeft = true;
        unit.address = *taken.value;
        unit.addressState = AddressState::Passed;
        unit.result = QStringLiteral("passed");
        figures.failure = ledger.markSent(*taken.value);
        if (figures.failure.isEmpty())
            figures.failure = ledger.finish(*taken.value, true);
        if (figures.failure.isEmpty())
            figures.failure = ledger.recordUnit(unit);
        if (figures.failure.isEmpty())
            figures.msPerUnit.add(double(clock.nsecsElapsed()) / 1e6);
    }
    return figures;
}

} // namespace korva::bench
