#include "production/journal.h"

#include "production/ledgerlocation.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korva::production
{

namespace
{

const QString kType = QStringLiteral("type");
const QString kLedger = QStringLiteral("ledger");
const QString kPending = QStringLiteral("pending");
const QString kLedgerFile = QStringLiteral("ledger-file");

QByteArray lineOf(const QJsonObject &record)
{
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The new file and the folder entry that names it reach the disk together.
void syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

QDateTime timeFrom(const QJsonValue &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

std::optional<quint32> addressFrom(const QJsonValue &value)
{
    bool hex = false;
    const quint32 address = value.toString().toUInt(&hex, 16);
    return hex ? std::optional<quint32>(address) : std::nullopt;
}

} // namespace

QString Journal::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/KORVA/journal");
}

QString Journal::recordName(Record record)
{
    switch (record) {
    case Record::Unit:
        return QStringLiteral("unit");
    case Record::HookOutcome:
        return QStringLiteral("on-unit");
    case Record::RunEnd:
        return QStringLiteral("run-end");
    }
    return {};
}

Journal::~Journal()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString Journal::open(const QString &folder, const LedgerLocation &ledger, const RunStart &start,
                      qint64 runId)
{
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot make the journal folder %1").arg(folder);
    const QString name = QStringLiteral("%1-run%2-%3.jsonl")
                             .arg(start.started.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                             .arg(runId)
                             .arg(::getpid());
    const QString path = QDir(folder).filePath(name);
    const QByteArray encoded = QFile::encodeName(path);
    const int fd = ::open(encoded.constData(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return QStringLiteral("cannot make the journal %1: %2").arg(path, systemReason());
    // Held until this process ends, however it ends: a sync leaves the file alone.
    ::flock(fd, LOCK_EX | LOCK_NB);
    m_lockFd = fd;
    m_path = path;
    if (QString failed = m_file.open(path); !failed.isEmpty())
        return failed;
    syncFolder(folder);
    return append({{kType, QStringLiteral("journal")},
                   {kLedger, ledger.display()},
                   {kLedgerFile, ledgerFileIdentity(ledger)},
                   {QStringLiteral("run-start"), start.toJson(runId)}});
}

QString Journal::append(const QJsonObject &record)
{
    return m_file.appendLine(lineOf(record));
}

QString Journal::appendPending(QJsonObject record)
{
    record.insert(kLedger, kPending);
    const QString failed = append(record);
    if (failed.isEmpty()) {
        QMutexLocker lock(&m_mutex);
        ++m_pending;
    }
    return failed;
}

QString Journal::appendUnit(const UnitRecord &unit)
{
    return appendPending(unit.toJson());
}

QString Journal::appendHookOutcome(qint64 runId, int sequence, const QString &status,
                                   const QString &stderrTail)
{
    return appendPending({{kType, recordName(Record::HookOutcome)},
                          {QStringLiteral("run"), runId},
                          {QStringLiteral("sequence"), sequence},
                          {QStringLiteral("status"), status},
                          {QStringLiteral("stderr"), stderrTail}});
}

QString Journal::appendRunEnd(qint64 runId, const RunEnd &end)
{
    return appendPending(end.toJson(runId));
}

QString Journal::appendTook(Record record, qint64 runId, int sequence)
{
    const QString failed = append(journalTookRecord(record, runId, sequence));
    if (failed.isEmpty()) {
        QMutexLocker lock(&m_mutex);
        --m_pending;
    }
    return failed;
}

QString Journal::appendRefused(Record record, qint64 runId, int sequence, const QString &error)
{
    QJsonObject line = journalTookRecord(record, runId, sequence);
    line.insert(kType, QStringLiteral("ledger-refused"));
    line.insert(QStringLiteral("error"), error);
    return append(line);
}

QString Journal::settle()
{
    if (pending() != 0)
        return {};
    return append({{kType, QStringLiteral("settled")}});
}

int Journal::pending() const
{
    QMutexLocker lock(&m_mutex);
    return m_pending;
}

QString ledgerFileIdentity(const LedgerLocation &ledger)
{
    struct stat info = {};
    if (ledger.kind != LedgerLocation::Kind::Sqlite ||
        ::stat(QFile::encodeName(ledger.path).constData(), &info) != 0)
        return {};
    return QStringLiteral("%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
}

bool journalBelongsTo(const QJsonObject &header, const LedgerLocation &ledger)
{
    if (header.value(kLedger).toString() != ledger.display())
        return false;
    const QString file = header.value(kLedgerFile).toString();
    return file.isEmpty() || file == ledgerFileIdentity(ledger);
}

QJsonObject journalTookRecord(Journal::Record record, qint64 runId, int sequence)
{
    QJsonObject line{{kType, QStringLiteral("ledger-took")},
                     {QStringLiteral("record"), Journal::recordName(record)},
                     {QStringLiteral("run"), runId}};
    if (record != Journal::Record::RunEnd)
        line.insert(QStringLiteral("sequence"), sequence);
    return line;
}

std::optional<UnitRecord> unitFromJson(const QJsonObject &object)
{
    if (object.value(kType) != QLatin1String("unit") ||
        !object.value(QStringLiteral("run")).isDouble() ||
        !object.value(QStringLiteral("sequence")).isDouble())
        return std::nullopt;
    UnitRecord unit;
    unit.runId = object.value(QStringLiteral("run")).toInteger();
    unit.sequence = object.value(QStringLiteral("sequence")).toInt();
    unit.slot = object.value(QStringLiteral("slot")).toInt();
    unit.started = timeFrom(object.value(QStringLiteral("started")));
    unit.ended = timeFrom(object.value(QStringLiteral("ended")));
    unit.device = object.value(QStringLiteral("device")).toString();
    unit.adapterSerial = object.value(QStringLiteral("adapter-serial")).toString();
    unit.adapterLocation = object.value(QStringLiteral("adapter-location")).toString();
    unit.before = QByteArray::fromHex(object.value(QStringLiteral("before")).toString().toLatin1());
    unit.packet = QByteArray::fromHex(object.value(QStringLiteral("packet")).toString().toLatin1());
    unit.readBack =
        QByteArray::fromHex(object.value(QStringLiteral("read-back")).toString().toLatin1());
    unit.packetLeft = object.value(QStringLiteral("packet-left")).toBool();
    unit.address = addressFrom(object.value(QStringLiteral("address")));
    unit.addressState = stateFromName(object.value(QStringLiteral("address-state")).toString());
    unit.reprovision = object.value(QStringLiteral("reprovision")).toBool();
    unit.result = object.value(QStringLiteral("result")).toString();
    for (const QJsonValue &value : object.value(QStringLiteral("differences")).toArray()) {
        const QJsonObject difference = value.toObject();
        unit.differences << FieldDifference{difference.value(QStringLiteral("key")).toString(),
                                            difference.value(QStringLiteral("expected")).toString(),
                                            difference.value(QStringLiteral("actual")).toString()};
    }
    unit.errorClass = object.value(QStringLiteral("error-class")).toString();
    unit.error = object.value(QStringLiteral("error")).toString();
    unit.writes = object.value(QStringLiteral("writes")).toInt();
    if (!unit.started.isValid() || !unit.ended.isValid())
        return std::nullopt;
    return unit;
}

std::optional<RunEnd> runEndFromJson(const QJsonObject &object)
{
    if (object.value(kType) != QLatin1String("run-end"))
        return std::nullopt;
    RunEnd end;
    end.how = object.value(QStringLiteral("how")).toString();
    end.written = object.value(QStringLiteral("written")).toInt();
    end.passed = object.value(QStringLiteral("passed")).toInt();
    end.failed = object.value(QStringLiteral("failed")).toInt();
    end.alreadyProvisioned = object.value(QStringLiteral("already-provisioned")).toInt();
    end.nextFree = addressFrom(object.value(QStringLiteral("next-free")));
    end.ended = timeFrom(object.value(QStringLiteral("time")));
    return end;
}

} // namespace korva::production
