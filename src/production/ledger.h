#pragma once

#include "production/ledgerlocation.h"
#include "production/unitrecord.h"

#include <QMap>
#include <QSet>

#include <array>
#include <functional>
#include <memory>

class QSqlDatabase;
class QSqlQuery;

namespace korva::production
{

// The provisioning ledger: which local addresses were issued, and the record of
// every run and unit. That an address is issued at most once rests on the
// database (one row per address, taken in a transaction no other can
// interleave with), never on a counter in this process.
//
// One connection; use it on the thread that opened it (provision opens one per
// slot thread). Every error text names the ledger and what failed.
class Ledger
{
public:
    template <typename T> struct Result {
        T value{};
        QString error;
        bool ok() const { return error.isEmpty(); }
    };

    enum class OpenMode {
        CreateIfMissing, // provision: a new file or database becomes a ledger
        MustExist,       // status, export, check: nothing is created
    };

    static std::variant<std::unique_ptr<Ledger>, QString>
    open(const LedgerLocation &where, OpenMode mode = OpenMode::CreateIfMissing);
    ~Ledger();
    Ledger(const Ledger &) = delete;
    Ledger &operator=(const Ledger &) = delete;

    QString where() const; // location.display()
    // The socket of a PostgreSQL connection, -1 for SQLite or when closed. Another
    // thread may shut it down to end a call that hangs on a server that stopped
    // answering (see LedgerService); ask for it on the connection's own thread.
    int serverSocket() const;

    Result<qint64> startRun(const RunStart &run); // the run id
    QString endRun(qint64 runId, const RunEnd &end);

    // Takes the lowest address of the range that is free: never issued, or
    // released. nullopt: the range is used up.
    Result<std::optional<quint32>> reserve(const AddressRange &range, qint64 runId,
                                           const QString &station);
    // A state moves only an address its run holds. These take the run that
    // this connection last took an address for; the forms with runId name it.
    QString markSent(quint32 address); // the packet is about to leave
    QString markSent(quint32 address, qint64 runId);
    // Only from reserved or sent, and only when the packet never left.
    QString release(quint32 address);
    QString release(quint32 address, qint64 runId);
    // From sent; a passed or failed address may take a new outcome (the unit
    // written again under its recorded address).
    QString finish(quint32 address, bool passed);
    QString finish(quint32 address, bool passed, qint64 runId);
    // The address as recorded passed (when: the time it was), or nullopt.
    Result<std::optional<PassedRecord>> passedRecord(quint32 address);
    // Why no unit may be given `address` outside the ledger's takes (every unit
    // keeping the profile's address): the ledger issued it, said with its
    // record; empty when it never did.
    Result<QString> refusalToKeep(quint32 address);
    // Stores the record and, in the same transaction, brings its address to
    // unit.addressState (as markSent, release or finish would, for the unit's
    // run; a reprovisioned unit moves the passed or failed address it was
    // written under), so a record and its address never disagree, whatever
    // stops the program between two calls. A unit already recorded (its run
    // and sequence) is left as it is and reported through alreadyThere, so a
    // record can be carried in again safely.
    QString recordUnit(const UnitRecord &unit, bool *alreadyThere = nullptr);
    // What became of the command run after a recorded unit: its status line
    // ("exit 0", "timed out after 30 s", ...) and the tail of its stderr.
    QString recordHookOutcome(qint64 runId, int sequence, const QString &status,
                              const QString &stderrTail);
    // The sequence numbers of the units the ledger holds for a run.
    Result<QSet<int>> unitSequences(qint64 runId);
    Result<std::optional<quint32>> nextFree(const AddressRange &range);

    // Units by how they ended. Units sent but not verified (stopped between
    // packet and read-back) are neither passed nor failed.
    struct Yield {
        int passed = 0, failed = 0, notVerified = 0, alreadyProvisioned = 0;
        std::optional<double> percent() const; // passed of passed and failed
    };
    struct Status {
        AddressRange range;
        std::array<int, kAddressStates> perState{};
        QMap<QString, std::array<int, kAddressStates>> perStation;
        std::optional<quint32> nextFree;
        // Every unit of the ledger, by its run's station and by the day it was
        // programmed (yyyy-MM-dd on the station's clock), and the failed ones
        // by error class ("" when fields differ).
        QMap<QString, Yield> unitsPerStation, unitsPerDay;
        QMap<QString, int> failuresByClass;
    };
    // The addresses of the range by state and by station, its next free one
    // and the units' yield, all from one snapshot of the ledger.
    Result<Status> status(const AddressRange &range);

    // Which records an export gives: runs of one station, or one run, and
    // records timed from `since` and before `until` (each open when invalid).
    struct ExportFilter {
        QDateTime since, until;
        QString station; // empty: every station
        qint64 run = 0;  // 0: every run
    };
    // Every record, run by run: its start, its units, its end (once ended),
    // from one snapshot of the ledger. A unit carries its run's station,
    // operator, profile and tool version, and its --on-unit outcome.
    QString exportRecords(const std::function<void(const QJsonObject &)> &record);
    QString exportRecords(const ExportFilter &filter,
                          const std::function<void(const QJsonObject &)> &record);
    // The keys an exported unit has beyond its record: the --on-unit outcome.
    static QStringList hookKeys();

    // An address out of circulation whose outcome was never recorded.
    struct Reservation {
        quint32 address = 0;
        AddressState state = AddressState::Reserved;
        qint64 runId = 0;
        QString station;
        QDateTime taken;
    };
    struct CheckReport {
        int addresses = 0, units = 0, runs = 0;
        QStringList faults; // empty: no address issued twice, every record agrees
        QList<Reservation> unknown;
    };
    Result<CheckReport> check();
    // The same, from one snapshot in memory bounded whatever the ledger's
    // size: each fault and each reservation is handed on as found, in address
    // order, and the report holds the counts alone.
    Result<CheckReport> check(const std::function<void(const QString &fault)> &fault,
                              const std::function<void(const Reservation &)> &unknown);

private:
    explicit Ledger(const LedgerLocation &where);
    QString connect(OpenMode mode);
    QString prepareSchema(OpenMode mode);
    QSqlDatabase database() const;
    // "ledger WHERE: cannot WHAT: DETAIL"
    QString failure(const QString &what, const QString &detail) const;
    // Runs `body` (which returns the database's complaint or nothing) between
    // `begin` and a commit, or rolls back and says what failed.
    QString transaction(const QString &what, const QString &begin,
                        const std::function<QString(QSqlQuery &query)> &body);
    // Runs `body` (which returns the database's complaint or nothing) in a write
    // transaction on `query`; `serialized` also keeps every other serialized
    // transaction out until it ends.
    QString write(const QString &what, bool serialized,
                  const std::function<QString(QSqlQuery &query)> &body);
    // Runs `body` in one read transaction: every query in it sees the ledger
    // as one snapshot, and no writer waits for it.
    QString read(const QString &what, const std::function<QString()> &body);
    QString lowestFree(QSqlQuery &query, const AddressRange &range, std::optional<quint32> &address,
                       bool &released);
    // Joins a newly issued address to the spans of issued addresses.
    QString addToSpans(QSqlQuery &query, quint32 address);
    // Within a write transaction: brings the address to `to` when that is a
    // step its life can take and the run holds it (any run's passed or failed
    // address, for a unit written again).
    QString moveAddress(QSqlQuery &query, quint32 address, AddressState to, qint64 runId,
                        bool reprovision = false);
    QString changeState(quint32 address, AddressState to, qint64 runId, const QString &what);

    LedgerLocation m_where;
    QString m_connection;
    qint64 m_takerRun = 0; // the run this connection last took an address for
};

} // namespace korva::production
