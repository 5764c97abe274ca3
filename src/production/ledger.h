#pragma once

#include "production/ledgerlocation.h"
#include "production/unitrecord.h"

#include <QMap>

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
    QString markSent(quint32 address); // the packet is about to leave
    // Only from reserved or sent, and only when the packet never left.
    QString release(quint32 address);
    // From sent; a passed or failed address may take a new outcome (the unit
    // written again under its recorded address).
    QString finish(quint32 address, bool passed);
    // The address as recorded passed (when: the time it was), or nullopt.
    Result<std::optional<PassedRecord>> passedRecord(quint32 address);
    // Stores the record and, in the same transaction, brings its address to
    // unit.addressState (as markSent, release or finish would), so a record and
    // its address never disagree, whatever stops the program between two calls.
    // A unit already recorded (its run and sequence) is left as it is and
    // reported through alreadyThere, so a record can be carried in again safely.
    QString recordUnit(const UnitRecord &unit, bool *alreadyThere = nullptr);
    // What became of the command run after a recorded unit: its status line
    // ("exit 0", "timed out after 30 s", ...) and the tail of its stderr.
    QString recordHookOutcome(qint64 runId, int sequence, const QString &status,
                              const QString &stderrTail);
    Result<std::optional<quint32>> nextFree(const AddressRange &range);

    struct Status {
        AddressRange range;
        std::array<int, kAddressStates> perState{};
        QMap<QString, std::array<int, kAddressStates>> perStation;
        std::optional<quint32> nextFree;
    };
    // The addresses of the range by state and by station, and its next free one.
    Result<Status> status(const AddressRange &range);

    // Every record, run by run: its start, its units, its end (once ended).
    QString exportRecords(const std::function<void(const QJsonObject &)> &record);

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

private:
    explicit Ledger(const LedgerLocation &where);
    QString connect(OpenMode mode);
    QString prepareSchema(OpenMode mode);
    QSqlDatabase database() const;
    // "ledger WHERE: cannot WHAT: DETAIL"
    QString failure(const QString &what, const QString &detail) const;
    // Runs `body` (which returns the database's complaint or nothing) in a write
    // transaction on `query`; `serialized` also keeps every other serialized
    // transaction out until it ends.
    QString write(const QString &what, bool serialized,
                  const std::function<QString(QSqlQuery &query)> &body);
    QString lowestFree(QSqlQuery &query, const AddressRange &range, std::optional<quint32> &address,
                       bool &released);
    QString moveAddress(QSqlQuery &query, quint32 address, AddressState to);
    QString changeState(quint32 address, AddressState to, const QString &what);

    LedgerLocation m_where;
    QString m_connection;
};

} // namespace korva::production
