#include "production/ledgerservice.h"

#include <QTimer>

#include <sys/socket.h>

namespace korva::production
{

namespace
{

// A failed result of either kind of ledger call, with its reason.
template <typename T> T failure(const QString &error)
{
    T result;
    result.error = error;
    return result;
}

template <> QString failure<QString>(const QString &error)
{
    return error;
}

template <typename T> bool failed(const T &result)
{
    return !result.ok();
}

bool failed(const QString &result)
{
    return !result.isEmpty();
}

QString secondsText(int ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

LedgerService::LedgerService(const LedgerLocation &where, int timeoutMs, Ledger::OpenMode mode)
    : m_where(where), m_timeoutMs(timeoutMs), m_mode(mode)
{
    m_thread.setObjectName(QStringLiteral("ledger"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

LedgerService::~LedgerService()
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_current && m_socket >= 0)
            ::shutdown(m_socket, SHUT_RDWR);
    }
    // The connection is closed on the thread that opened it.
    QMetaObject::invokeMethod(
        m_worker,
        [this] {
            dropConnection();
            m_thread.quit();
        },
        Qt::QueuedConnection);
    m_thread.wait();
    delete m_worker;
}

std::unique_ptr<LedgerClient> LedgerService::client()
{
    return std::make_unique<LedgerClient>(*this);
}

void LedgerService::post(const std::shared_ptr<Call> &call)
{
    QMetaObject::invokeMethod(
        m_worker, [this, call] { run(call); }, Qt::QueuedConnection);
}

void LedgerService::giveUp(const std::shared_ptr<Call> &call)
{
    call->abandoned = true;
    QMutexLocker lock(&m_mutex);
    if (!m_current || !m_current->abandoned)
        return;
    // Whatever runs now, a query or the opening of a connection, has nobody
    // waiting for it: shutting the socket down makes a blocked query return,
    // and the connection is opened again for the next call.
    m_unanswered = true;
    if (m_socket >= 0 && !m_cut) {
        ::shutdown(m_socket, SHUT_RDWR);
        m_cut = true;
    }
}

void LedgerService::run(const std::shared_ptr<Call> &call)
{
    if (call->abandoned)
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_current = call;
    }
    QString openError;
    if (!m_ledger) {
        auto opened = Ledger::open(m_where, m_mode);
        if (const auto *refused = std::get_if<QString>(&opened)) {
            openError = *refused;
        } else {
            m_ledger = std::move(std::get<std::unique_ptr<Ledger>>(opened));
            QMutexLocker lock(&m_mutex);
            m_socket = m_ledger->serverSocket();
        }
    }
    // A caller that gave up while the connection was being opened is not served.
    const bool worked = !call->abandoned && call->body(m_ledger.get(), openError);
    bool cut = false;
    {
        QMutexLocker lock(&m_mutex);
        m_current.reset();
        cut = m_cut;
        m_cut = false;
    }
    // After a failure the connection may be broken (a server restarted, a
    // socket cut): the next call opens a new one rather than finding out.
    if (!worked || cut)
        dropConnection();
    else
        m_unanswered = false;
    call->completion.finish();
}

void LedgerService::dropConnection()
{
    {
        QMutexLocker lock(&m_mutex);
        m_socket = -1;
    }
    m_ledger.reset();
}

template <typename T> T LedgerClient::call(const QString &what, std::function<T(Ledger &)> body)
{
    if (m_stopping && m_service.m_unanswered)
        return failure<T>(QStringLiteral("ledger %1: cannot %2: it did not answer an earlier call, "
                                         "and the run is stopping")
                              .arg(where(), what));
    auto result = std::make_shared<T>();
    auto call = std::make_shared<LedgerService::Call>();
    call->body = [result, body = std::move(body)](Ledger *ledger, const QString &openError) {
        *result = ledger ? body(*ledger) : failure<T>(openError);
        return !failed(*result);
    };
    m_service.post(call);

    const int boundMs = m_stopping ? std::min(LedgerService::kStopGraceMs, m_service.timeoutMs())
                                   : m_service.timeoutMs();
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(boundMs);
    m_deadline = &deadline;
    const bool done = call->completion.wait(loop);
    m_deadline = nullptr;
    if (done)
        return *result;
    m_service.giveUp(call);
    return failure<T>(m_stopping ? QStringLiteral("ledger %1: cannot %2: no answer before the run "
                                                  "stopped")
                                       .arg(where(), what)
                                 : QStringLiteral("ledger %1: cannot %2: no answer within %3 s "
                                                  "(--ledger-timeout)")
                                       .arg(where(), what, secondsText(m_service.timeoutMs())));
}

void LedgerClient::stop()
{
    m_stopping = true;
    if (m_deadline && m_deadline->remainingTime() > LedgerService::kStopGraceMs)
        m_deadline->start(LedgerService::kStopGraceMs);
}

Ledger::Result<qint64> LedgerClient::startRun(const RunStart &run)
{
    return call<Ledger::Result<qint64>>(QStringLiteral("start a run"),
                                        [run](Ledger &ledger) { return ledger.startRun(run); });
}

QString LedgerClient::endRun(qint64 runId, const RunEnd &end)
{
    return call<QString>(QStringLiteral("end run %1").arg(runId),
                         [runId, end](Ledger &ledger) { return ledger.endRun(runId, end); });
}

Ledger::Result<std::optional<quint32>> LedgerClient::reserve(const AddressRange &range,
                                                             qint64 runId, const QString &station)
{
    auto taken = call<Ledger::Result<std::optional<quint32>>>(
        QStringLiteral("take an address of %1").arg(range.text()),
        [range, runId, station](Ledger &ledger) { return ledger.reserve(range, runId, station); });
    if (taken.ok())
        m_takerRun = runId;
    return taken;
}

QString LedgerClient::markSent(quint32 address)
{
    return call<QString>(
        QStringLiteral("mark %1 sent").arg(addressText(address)),
        [address, run = m_takerRun](Ledger &ledger) { return ledger.markSent(address, run); });
}

QString LedgerClient::release(quint32 address)
{
    return call<QString>(
        QStringLiteral("release %1").arg(addressText(address)),
        [address, run = m_takerRun](Ledger &ledger) { return ledger.release(address, run); });
}

QString LedgerClient::finish(quint32 address, bool passed)
{
    return call<QString>(QStringLiteral("record the outcome of %1").arg(addressText(address)),
                         [address, passed, run = m_takerRun](Ledger &ledger) {
                             return ledger.finish(address, passed, run);
                         });
}

Ledger::Result<QString> LedgerClient::refusalToKeep(quint32 address)
{
    return call<Ledger::Result<QString>>(
        QStringLiteral("look up %1").arg(addressText(address)),
        [address](Ledger &ledger) { return ledger.refusalToKeep(address); });
}

Ledger::Result<std::optional<PassedRecord>> LedgerClient::passedRecord(quint32 address)
{
    return call<Ledger::Result<std::optional<PassedRecord>>>(
        QStringLiteral("look up %1").arg(addressText(address)),
        [address](Ledger &ledger) { return ledger.passedRecord(address); });
}

QString LedgerClient::recordUnit(const UnitRecord &unit, bool *alreadyThere)
{
    auto there = std::make_shared<bool>(false);
    const QString failed = call<QString>(
        QStringLiteral("record unit %1").arg(unit.sequence),
        [unit, there](Ledger &ledger) { return ledger.recordUnit(unit, there.get()); });
    if (alreadyThere)
        *alreadyThere = failed.isEmpty() && *there;
    return failed;
}

QString LedgerClient::recordHookOutcome(qint64 runId, int sequence, const QString &status,
                                        const QString &stderrTail)
{
    return call<QString>(QStringLiteral("record the --on-unit outcome of unit %1").arg(sequence),
                         [runId, sequence, status, stderrTail](Ledger &ledger) {
                             return ledger.recordHookOutcome(runId, sequence, status, stderrTail);
                         });
}

Ledger::Result<std::optional<quint32>> LedgerClient::nextFree(const AddressRange &range)
{
    return call<Ledger::Result<std::optional<quint32>>>(
        QStringLiteral("find the next free address of %1").arg(range.text()),
        [range](Ledger &ledger) { return ledger.nextFree(range); });
}

} // namespace korva::production
