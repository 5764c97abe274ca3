#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QSqlDatabase>

#include <limits>

namespace korva::production
{

namespace
{

QString unitName(qint64 runId, qint64 sequence)
{
    return QStringLiteral("run %1 unit %2").arg(runId).arg(sequence);
}

QString spanText(qint64 low, qint64 high)
{
    return addressText(quint32(low)) + u'-' + addressText(quint32(high));
}

// The ledger's row of one address.
struct Held {
    QString state;
    qint64 runId = 0;
};

// What the unit records of one address say, read in the order they were made.
struct AddressUnits {
    QString firstIssuer;         // the first unit whose packet carried the address as the ledger's
    QString firstKept;           // the first unit written with the address as the profile's own
    QString latest, latestState; // the last unit that moved the address, and to what
};

// Compares the maximal runs of issued addresses, as the addresses make them in
// order, with the stored spans, read beside them in the same order.
class SpanCheck
{
public:
    SpanCheck(sql::Pager &spans, const std::function<void(const QString &)> &fault)
        : m_spans(spans), m_fault(fault), m_more(spans.next())
    {
    }

    void add(qint64 address)
    {
        if (m_run && m_high + 1 == address) {
            m_high = address;
            return;
        }
        close();
        m_run = true;
        m_low = m_high = address;
    }

    // The end of the addresses: every span left over is one too many.
    void finish()
    {
        close();
        for (; m_more; m_more = m_spans.next())
            extra();
    }

private:
    qint64 low() const { return m_spans.value(0).toLongLong(); }
    qint64 high() const { return m_spans.value(1).toLongLong(); }
    void extra()
    {
        m_fault(QStringLiteral("the spans of issued addresses hold %1, which the addresses do not "
                               "make")
                    .arg(spanText(low(), high())));
    }

    void close()
    {
        if (!m_run)
            return;
        for (; m_more && low() < m_low; m_more = m_spans.next())
            extra();
        if (m_more && low() == m_low && high() == m_high) {
            m_more = m_spans.next();
        } else {
            if (m_more && low() == m_low) {
                extra();
                m_more = m_spans.next();
            }
            m_fault(QStringLiteral("the addresses %1 are issued, but no span of issued addresses "
                                   "holds them as one")
                        .arg(spanText(m_low, m_high)));
        }
        m_run = false;
    }

    sql::Pager &m_spans;
    const std::function<void(const QString &)> &m_fault;
    bool m_more = false;
    bool m_run = false;
    qint64 m_low = 0, m_high = 0;
};

// The faults of one address between its unit records and the ledger's row.
void judge(quint32 address, const std::optional<Held> &held, const AddressUnits &units,
           const std::function<void(const QString &)> &fault)
{
    if (!held)
        return;
    const QString text = addressText(address);
    const QString released = stateName(AddressState::Released);
    const bool outcome = held->state == stateName(AddressState::Passed) ||
                         held->state == stateName(AddressState::Failed);
    // A released address may have been taken again since its last record; any
    // other state is the one the ledger must still hold.
    if (!units.latest.isEmpty() && units.latestState != released &&
        units.latestState != held->state)
        fault(QStringLiteral("%1 records %2 as %3, the ledger holds it as %4")
                  .arg(units.latest, text, units.latestState, held->state));
    else if (outcome && (units.latest.isEmpty() || units.latestState == released))
        fault(QStringLiteral("%1 is %2 in the ledger, but no unit record says so (run %3)")
                  .arg(text, held->state)
                  .arg(held->runId));
    if (!units.firstKept.isEmpty() && held->state != released)
        fault(QStringLiteral("%1 is %2 in the ledger (run %3), yet %4 was written with it as the "
                             "profile's address")
                  .arg(text, held->state)
                  .arg(held->runId)
                  .arg(units.firstKept));
}

} // namespace

Ledger::Result<Ledger::CheckReport> Ledger::check()
{
    Result<CheckReport> result;
    const auto checked =
        check([&](const QString &fault) { result.value.faults << fault; },
              [&](const Reservation &unknown) { result.value.unknown << unknown; });
    result.error = checked.error;
    result.value.addresses = checked.value.addresses;
    result.value.units = checked.value.units;
    result.value.runs = checked.value.runs;
    return result;
}

// One pass over the addresses, the units by address and the spans, side by
// side in address order. A unit "issues" an address when it took it from the
// ledger and its packet left; a reprovisioned or already provisioned unit only
// meets it again, and one that kept the profile's address wrote it on its own.
Ledger::Result<Ledger::CheckReport>
Ledger::check(const std::function<void(const QString &fault)> &fault,
              const std::function<void(const Reservation &)> &unknown)
{
    Result<CheckReport> result;
    CheckReport &report = result.value;
    result.error = read(QStringLiteral("check the records"), [&]() -> QString {
        QSqlQuery counts(database());
        QString error = sql::run(counts, QStringLiteral("SELECT (SELECT COUNT(*) FROM runs),"
                                                        " (SELECT COUNT(*) FROM units)"));
        if (!error.isEmpty())
            return error;
        if (counts.next()) {
            report.runs = counts.value(0).toInt();
            report.units = counts.value(1).toInt();
        }
        counts.finish();

        sql::Pager addresses(database(),
                             QStringLiteral("SELECT address, state, run_id, station, taken FROM"
                                            " addresses WHERE address > ? ORDER BY address"
                                            " LIMIT ?"),
                             {}, {0});
        sql::Pager units(database(),
                         QStringLiteral("SELECT address, id, run_id, sequence, address_state,"
                                        " packet_left, reprovision, result FROM units WHERE"
                                        " address IS NOT NULL AND (address, id) > (?, ?)"
                                        " ORDER BY address, id LIMIT ?"),
                         {}, {0, 1});
        sql::Pager spans(database(),
                         QStringLiteral("SELECT low, high FROM issued_spans WHERE low > ?"
                                        " ORDER BY low LIMIT ?"),
                         {}, {0});
        SpanCheck spanCheck(spans, fault);
        const QString released = stateName(AddressState::Released);
        constexpr qint64 kEnd = std::numeric_limits<qint64>::max();
        bool address = addresses.next(), unit = units.next();
        while (address || unit) {
            const qint64 at = std::min(address ? addresses.value(0).toLongLong() : kEnd,
                                       unit ? units.value(0).toLongLong() : kEnd);
            const QString text = addressText(quint32(at));
            std::optional<Held> held;
            if (address && addresses.value(0).toLongLong() == at) {
                ++report.addresses;
                spanCheck.add(at);
                held = Held{addresses.value(1).toString(), addresses.value(2).toLongLong()};
                const std::optional<AddressState> state = stateFromName(held->state);
                if (state == AddressState::Reserved || state == AddressState::Sent)
                    unknown(Reservation{
                        quint32(at), *state, held->runId, addresses.value(3).toString(),
                        QDateTime::fromString(addresses.value(4).toString(), Qt::ISODateWithMs)});
                address = addresses.next();
            }
            AddressUnits seen;
            for (; unit && units.value(0).toLongLong() == at; unit = units.next()) {
                const QString name =
                    unitName(units.value(2).toLongLong(), units.value(3).toLongLong());
                const QString state = units.value(4).toString();
                const bool stated = !units.isNull(4);
                const bool packetLeft = units.value(5).toInt() != 0;
                const QString unitResult = units.value(7).toString();
                const bool meetsAgain = units.value(6).toInt() != 0 ||
                                        unitResult == QLatin1String("already-provisioned");
                if (stated && !held)
                    fault(QStringLiteral("%1 records %2 as %3, an address the ledger never "
                                         "issued")
                              .arg(name, text, state));
                if (state == released && packetLeft)
                    fault(
                        QStringLiteral("%1 released %2 although its packet left").arg(name, text));
                if (stated && (unitResult == QLatin1String("passed")) !=
                                  (state == stateName(AddressState::Passed)))
                    fault(QStringLiteral("%1 records %2 as %3 with the result %4")
                              .arg(name, text, state, unitResult));
                if (stated && packetLeft && !meetsAgain && !seen.firstIssuer.isEmpty())
                    fault(QStringLiteral("%1 issued twice: to %2 and to %3")
                              .arg(text, seen.firstIssuer, name));
                else if (stated && packetLeft && !meetsAgain)
                    seen.firstIssuer = name;
                if (!stated && packetLeft && !meetsAgain && seen.firstKept.isEmpty())
                    seen.firstKept = name;
                if (stated) {
                    seen.latest = name;
                    seen.latestState = state;
                }
            }
            judge(quint32(at), held, seen, fault);
        }
        spanCheck.finish();
        for (const sql::Pager *pager : {&addresses, &units, &spans})
            if (!pager->error().isEmpty())
                return pager->error();
        return {};
    });
    return result;
}

} // namespace korva::production
