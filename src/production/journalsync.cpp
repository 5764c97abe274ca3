#include "production/journalsync.h"

#include "production/journal.h"
#include "production/ledgerservice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMap>
#include <QSet>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korva::production
{

namespace
{

struct HookOutcome {
    int sequence = 0;
    QString status, stderrTail;
};

// What one journal file holds, as far as its whole lines go.
struct JournalFile {
    QJsonObject header;
    qint64 runId = 0;
    bool settled = false;
    QList<UnitRecord> units;
    QSet<int> unitsTaken;
    QList<HookOutcome> hookOutcomes;
    QSet<int> hookOutcomesTaken;
    std::optional<RunEnd> runEnd;
    bool runEndTaken = false;
    qint64 wholeBytes = 0; // up to the end of the last whole line

    QList<UnitRecord> pendingUnits() const
    {
        QList<UnitRecord> pending;
        for (const UnitRecord &unit : units)
            if (!unitsTaken.contains(unit.sequence))
                pending << unit;
        return pending;
    }
    QList<HookOutcome> pendingHookOutcomes() const
    {
        QList<HookOutcome> pending;
        for (const HookOutcome &outcome : hookOutcomes)
            if (!hookOutcomesTaken.contains(outcome.sequence))
                pending << outcome;
        return pending;
    }
    bool runEndPending() const { return runEnd && !runEndTaken; }
};

// A journal file held by this process while it reads it: a run that still
// writes it holds it too, and then it is left alone.
class HeldFile
{
public:
    ~HeldFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // False when the file is held by a run still going (or cannot be opened).
    bool hold(const QString &path, bool exclusive)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        return m_fd >= 0 && ::flock(m_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
    }
    // Whether the last line says the ledger holds every record: read without
    // reading the whole file, as most files end so.
    bool endsSettled() const
    {
        static const QByteArray settled = R"({"type":"settled"})"
                                          "\n";
        struct stat info = {};
        if (::fstat(m_fd, &info) != 0 || info.st_size < settled.size() + 1)
            return false;
        QByteArray tail(settled.size() + 1, '\0');
        const qint64 offset = info.st_size - tail.size();
        if (::pread(m_fd, tail.data(), size_t(tail.size()), offset) != tail.size())
            return false;
        return tail == '\n' + settled;
    }
    QByteArray readAll() const
    {
        QFile file;
        if (!file.open(m_fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            return {};
        return file.readAll();
    }

private:
    int m_fd = -1;
};

QStringList journalFiles(const QString &where)
{
    const QFileInfo info(where);
    if (!info.isDir())
        return info.exists() ? QStringList{info.absoluteFilePath()} : QStringList{};
    QStringList paths;
    const QDir folder(where);
    for (const QString &name :
         folder.entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Name))
        paths << folder.filePath(name);
    return paths;
}

JournalFile parse(const QByteArray &bytes)
{
    JournalFile file;
    // A last line without its newline was torn by a kill: its record never
    // reached the ledger, and it is no record at all.
    file.wholeBytes = bytes.lastIndexOf('\n') + 1;
    const QList<QByteArray> lines = bytes.left(file.wholeBytes).split('\n');
    for (const QByteArray &line : lines) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        const QString type = record.value(QStringLiteral("type")).toString();
        const QString which = record.value(QStringLiteral("record")).toString();
        const int sequence = record.value(QStringLiteral("sequence")).toInt();
        if (type == QLatin1String("journal")) {
            file.header = record;
            file.runId = record.value(QStringLiteral("run-start"))
                             .toObject()
                             .value(QStringLiteral("run"))
                             .toInteger();
        } else if (type == QLatin1String("unit")) {
            if (const auto unit = unitFromJson(record))
                file.units << *unit;
            file.settled = false;
        } else if (type == QLatin1String("on-unit")) {
            file.settled = false;
            file.hookOutcomes << HookOutcome{sequence,
                                             record.value(QStringLiteral("status")).toString(),
                                             record.value(QStringLiteral("stderr")).toString()};
        } else if (type == QLatin1String("run-end")) {
            file.runEnd = runEndFromJson(record);
            file.settled = false;
        } else if (type == QLatin1String("ledger-took")) {
            if (which == Journal::recordName(Journal::Record::Unit))
                file.unitsTaken.insert(sequence);
            else if (which == Journal::recordName(Journal::Record::HookOutcome))
                file.hookOutcomesTaken.insert(sequence);
            else if (which == Journal::recordName(Journal::Record::RunEnd))
                file.runEndTaken = true;
        } else if (type == QLatin1String("settled")) {
            file.settled = true;
        }
    }
    return file;
}

// Carries one file's pending records in; false when the ledger did not take one.
bool carryFile(const QString &path, JournalFile &file, LedgerClient &ledger,
               JournalSyncReport &report)
{
    // A torn last line is cut off first, so the marks below start a line of their own.
    if (::truncate(QFile::encodeName(path).constData(), file.wholeBytes) != 0) {
        report.error = QStringLiteral("cannot write to the journal %1").arg(path);
        return false;
    }
    RecordFile marks;
    if (const QString failed = marks.open(path); !failed.isEmpty()) {
        report.error = failed;
        return false;
    }
    const auto stopAt = [&](const QString &what, const QString &error) {
        report.error = QStringLiteral("cannot carry %1 of %2 into the ledger: %3")
                           .arg(what, QDir::toNativeSeparators(path), error);
        return false;
    };
    const auto mark = [&](Journal::Record record, int sequence) {
        const QString failed =
            marks.appendLine(QJsonDocument(journalTookRecord(record, file.runId, sequence))
                                 .toJson(QJsonDocument::Compact));
        if (!failed.isEmpty())
            report.error = failed;
        return failed.isEmpty();
    };
    for (const UnitRecord &unit : file.pendingUnits()) {
        bool there = false;
        if (const QString failed = ledger.recordUnit(unit, &there); !failed.isEmpty())
            return stopAt(QStringLiteral("unit %1 of run %2").arg(unit.sequence).arg(unit.runId),
                          failed);
        ++(there ? report.alreadyThere : report.units);
        if (!mark(Journal::Record::Unit, unit.sequence))
            return false;
    }
    for (const HookOutcome &outcome : file.pendingHookOutcomes()) {
        if (const QString failed = ledger.recordHookOutcome(file.runId, outcome.sequence,
                                                            outcome.status, outcome.stderrTail);
            !failed.isEmpty())
            return stopAt(QStringLiteral("the --on-unit outcome of unit %1 of run %2")
                              .arg(outcome.sequence)
                              .arg(file.runId),
                          failed);
        ++report.hookOutcomes;
        if (!mark(Journal::Record::HookOutcome, outcome.sequence))
            return false;
    }
    if (file.runEndPending()) {
        if (const QString failed = ledger.endRun(file.runId, *file.runEnd); !failed.isEmpty())
            return stopAt(QStringLiteral("the end of run %1").arg(file.runId), failed);
        ++report.runEnds;
        if (!mark(Journal::Record::RunEnd, 0))
            return false;
    }
    const QString failed = marks.appendLine(R"({"type":"settled"})");
    if (!failed.isEmpty())
        report.error = failed;
    return failed.isEmpty();
}

} // namespace

QString JournalSyncReport::summary() const
{
    QStringList parts;
    if (units > 0)
        parts << QStringLiteral("%1 unit record%2").arg(units).arg(units == 1 ? "" : "s");
    if (hookOutcomes > 0)
        parts << QStringLiteral("%1 --on-unit outcome%2")
                     .arg(hookOutcomes)
                     .arg(hookOutcomes == 1 ? "" : "s");
    if (runEnds > 0)
        parts << QStringLiteral("%1 run end%2").arg(runEnds).arg(runEnds == 1 ? "" : "s");
    QString text;
    if (!parts.isEmpty())
        text = QStringLiteral("carried %1 from the journal into the ledger")
                   .arg(parts.join(QStringLiteral(", ")));
    if (alreadyThere > 0)
        text += QStringLiteral("%1%2 unit record%3 of the journal %4 in the ledger already")
                    .arg(text.isEmpty() ? QString() : QStringLiteral("; "))
                    .arg(alreadyThere)
                    .arg(alreadyThere == 1 ? "" : "s")
                    .arg(alreadyThere == 1 ? QStringLiteral("was") : QStringLiteral("were"));
    return text;
}

JournalSyncReport carryJournal(const QString &where, LedgerClient &ledger)
{
    JournalSyncReport report;
    for (const QString &path : journalFiles(where)) {
        HeldFile held;
        if (!held.hold(path, true)) {
            ++report.live;
            continue;
        }
        if (held.endsSettled())
            continue;
        JournalFile file = parse(held.readAll());
        if (file.settled || !journalBelongsTo(file.header, ledger.location()))
            continue;
        if (file.pendingUnits().isEmpty() && file.pendingHookOutcomes().isEmpty() &&
            !file.runEndPending())
            continue;
        ++report.files;
        if (!carryFile(path, file, ledger, report))
            break;
    }
    return report;
}

int pendingJournalRecords(const QString &where, const LedgerLocation &location)
{
    int pending = 0;
    for (const QString &path : journalFiles(where)) {
        HeldFile held;
        if (!held.hold(path, false) || held.endsSettled())
            continue;
        const JournalFile file = parse(held.readAll());
        if (file.settled || !journalBelongsTo(file.header, location))
            continue;
        pending += int(file.pendingUnits().size() + file.pendingHookOutcomes().size()) +
                   int(file.runEndPending());
    }
    return pending;
}

JournalCheckReport checkJournal(const QString &where, Ledger &ledger,
                                const LedgerLocation &location)
{
    // File by file, each against its own run's units in the ledger, so memory
    // stays that of one run however long the journal's history.
    JournalCheckReport report;
    for (const QString &path : journalFiles(where)) {
        HeldFile held;
        if (!held.hold(path, false)) {
            ++report.live;
            continue;
        }
        const JournalFile file = parse(held.readAll());
        if (!journalBelongsTo(file.header, location) || file.units.isEmpty())
            continue;
        ++report.files;
        report.units += int(file.units.size());
        const auto inLedger = ledger.unitSequences(file.runId);
        if (!inLedger.ok()) {
            report.error = inLedger.error;
            return report;
        }
        for (const UnitRecord &unit : file.units) {
            if (inLedger.value.contains(unit.sequence))
                continue;
            report.missing << QStringLiteral("unit %1 of run %2 (%3, %4) in the journal %5")
                                  .arg(unit.sequence)
                                  .arg(unit.runId)
                                  .arg(unit.address ? addressText(*unit.address)
                                                    : QStringLiteral("no address"),
                                       unit.result, path);
        }
    }
    return report;
}

} // namespace korva::production
