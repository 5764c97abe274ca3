#include "cli/ledgersync.h"

#include "cli/stopsignals.h"
#include "production/journal.h"
#include "production/journalsync.h"
#include "production/ledgerservice.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace korva::cli
{

namespace
{

void complain(const QString &text)
{
    std::fputs(qPrintable(QStringLiteral("korva-cli: %1\n").arg(text)), stderr);
}

QString journalOf(const CliOptions &options)
{
    return options.journal.isEmpty() ? production::Journal::defaultFolder()
                                     : QFileInfo(options.journal).absoluteFilePath();
}

QString liveNote(int live)
{
    return live == 0 ? QString()
                     : QStringLiteral("%1 journal file%2 of runs still going left to them\n")
                           .arg(live)
                           .arg(live == 1 ? "" : "s");
}

} // namespace

int runLedgerSync(const CliOptions &options)
{
    production::LedgerLocation where;
    where.path = production::defaultLedgerPath();
    if (options.ledger)
        where = *options.ledger;
    const QString journal = journalOf(options);
    if (!options.journal.isEmpty() && !QFileInfo::exists(journal)) {
        complain(QStringLiteral("there is no journal %1").arg(journal));
        return kExitUsage;
    }
    production::LedgerService service(where, options.ledgerTimeoutMs,
                                      production::Ledger::OpenMode::MustExist);
    const std::unique_ptr<production::LedgerClient> ledger = service.client();
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, [&ledger] { ledger->stop(); });

    // The ledger answers before anything is carried, so a ledger that is not
    // there is said even when the journal holds nothing for it.
    if (const auto looked = ledger->passedRecord(0); !looked.ok()) {
        complain(looked.error);
        return kExitRecordFailed;
    }
    const production::JournalSyncReport report = production::carryJournal(journal, *ledger);
    QString text = QStringLiteral("Ledger: %1\nJournal: %2\n")
                       .arg(service.where(), QDir::toNativeSeparators(journal));
    const QString summary = report.summary();
    text +=
        summary.isEmpty() && report.error.isEmpty()
            ? QStringLiteral("Nothing to carry: the ledger holds every record of the journal.\n")
        : summary.isEmpty() ? QString()
                            : summary.left(1).toUpper() + summary.mid(1) + QStringLiteral(".\n");
    text += liveNote(report.live);
    const QByteArray bytes = text.toUtf8();
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) &&
        std::fflush(stdout) == 0;
    if (!report.error.isEmpty()) {
        complain(report.error);
        return kExitRecordFailed;
    }
    if (!written) {
        complain(QStringLiteral("cannot write the output"));
        return kExitRecordFailed;
    }
    if (stops.received() != 0)
        return 128 + stops.received();
    return kExitDone;
}

QString checkJournalRecords(production::Ledger &ledger, const production::LedgerLocation &where,
                            const QString &journal, QString &text, QStringList &faults)
{
    const QString folder = journal.isEmpty() ? production::Journal::defaultFolder() : journal;
    const production::JournalCheckReport report = production::checkJournal(folder, ledger, where);
    if (!report.error.isEmpty())
        return report.error;
    if (report.files == 0 && report.live == 0)
        return {};
    text += QStringLiteral("Journal %1: %2 unit records in %3 files of this ledger.\n")
                .arg(QDir::toNativeSeparators(folder))
                .arg(report.units)
                .arg(report.files);
    text += liveNote(report.live);
    for (const QString &missing : report.missing)
        faults << QStringLiteral("%1 is not in the ledger (korva-cli ledger sync carries it in)")
                      .arg(missing);
    return {};
}

} // namespace korva::cli
