#pragma once

#include "production/completion.h"
#include "production/ledger.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class QTimer;

namespace korva::production
{

class LedgerClient;

// One station's ledger connection, on a thread of its own, whatever the number
// of its slots: every slot and the run call it through a LedgerClient, and the
// calls take turns on that one connection. So a line of many stations stays
// within what a database server allows.
//
// Every call ends within a bound: a caller waits for it in an event loop until
// the answer, the bound or a stop. A call given up is cut off: the connection's
// socket is shut down (PostgreSQL), which ends a call that hangs on a server
// that stopped answering, and the next call connects afresh. An SQLite call
// ends on its own by the ledger's busy timeout; it is not cut.
class LedgerService
{
public:
    static constexpr int kDefaultTimeoutMs = 10000;
    // How long a call may still take once its caller was asked to stop.
    static constexpr int kStopGraceMs = 500;

    LedgerService(const LedgerLocation &where, int timeoutMs = kDefaultTimeoutMs,
                  Ledger::OpenMode mode = Ledger::OpenMode::CreateIfMissing);
    // Cuts a call under way and waits for the thread to end.
    ~LedgerService();
    LedgerService(const LedgerService &) = delete;
    LedgerService &operator=(const LedgerService &) = delete;

    QString where() const { return m_where.display(); }
    const LedgerLocation &location() const { return m_where; }
    int timeoutMs() const { return m_timeoutMs; }

    // A handle for one calling thread.
    std::unique_ptr<LedgerClient> client();

private:
    friend class LedgerClient;

    // One call: `body` runs on the service's thread with the connection (null
    // when it could not be opened, with the reason) and says whether it worked.
    struct Call {
        Completion completion;
        std::function<bool(Ledger *ledger, const QString &openError)> body;
        std::atomic<bool> abandoned = false;
    };

    void post(const std::shared_ptr<Call> &call);
    // The caller waits no more: the call is skipped if it has not begun, and the
    // connection is cut if it is under way.
    void giveUp(const std::shared_ptr<Call> &call);
    void run(const std::shared_ptr<Call> &call); // on the service's thread
    void dropConnection();                       // on the service's thread

    const LedgerLocation m_where;
    const int m_timeoutMs;
    const Ledger::OpenMode m_mode;
    QThread m_thread;
    QObject *m_worker = nullptr; // lives on m_thread
    std::unique_ptr<Ledger> m_ledger;

    QMutex m_mutex; // guards what other threads look at: the call under way and the socket
    std::shared_ptr<Call> m_current;
    int m_socket = -1;
    bool m_cut = false;
    // A call was given up under way and none has worked since: the server is
    // not answering, so a run that stops does not wait on it again.
    std::atomic<bool> m_unanswered = false;
};

// A caller's side of the station's ledger: the calls of Ledger, by the same
// names and with the same results, each bounded. Use it on one thread; a call
// runs that thread's events while it waits.
class LedgerClient
{
public:
    explicit LedgerClient(LedgerService &service) : m_service(service) {}

    QString where() const { return m_service.where(); }
    const LedgerLocation &location() const { return m_service.location(); }

    Ledger::Result<qint64> startRun(const RunStart &run);
    QString endRun(qint64 runId, const RunEnd &end);
    Ledger::Result<std::optional<quint32>> reserve(const AddressRange &range, qint64 runId,
                                                   const QString &station);
    QString markSent(quint32 address);
    QString release(quint32 address);
    QString finish(quint32 address, bool passed);
    Ledger::Result<std::optional<PassedRecord>> passedRecord(quint32 address);
    Ledger::Result<QString> refusalToKeep(quint32 address);
    QString recordUnit(const UnitRecord &unit, bool *alreadyThere = nullptr);
    QString recordHookOutcome(qint64 runId, int sequence, const QString &status,
                              const QString &stderrTail);
    Ledger::Result<std::optional<quint32>> nextFree(const AddressRange &range);

    // The run is stopping: a call under way, and every call after this, is
    // waited for at most kStopGraceMs; once a call was given up under way, the
    // calls after it fail at once, as a new connection to a server that does
    // not answer would only wait for its own timeout. Call it on the client's
    // thread (an event handled while a call waits counts).
    void stop();

private:
    template <typename T> T call(const QString &what, std::function<T(Ledger &)> body);

    LedgerService &m_service;
    // The run of this client's last take: its state moves name it, as the
    // connection behind them may have been opened afresh since.
    qint64 m_takerRun = 0;
    bool m_stopping = false;
    QTimer *m_deadline = nullptr; // of the call under way
};

} // namespace korva::production
