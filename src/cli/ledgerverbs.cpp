#include "cli/ledgerverbs.h"

#include "cli/ledgersync.h"
#include "production/ledger.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korva::cli
{

namespace
{

using production::AddressState;
using production::Ledger;

// What the verb prints; a failed write (a full disk behind a redirection) is
// remembered, so the exit code tells.
class Printer
{
public:
    void out(const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()))
            m_failure = errno;
    }
    int finish()
    {
        if (std::fflush(stdout) != 0)
            m_failure = errno;
        if (m_failure == 0)
            return kExitDone;
        complain(QStringLiteral("cannot write the output: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(m_failure))));
        return kExitRecordFailed;
    }
    static void complain(const QString &text)
    {
        std::fputs(qPrintable(QStringLiteral("korva-cli: %1\n").arg(text)), stderr);
    }

private:
    int m_failure = 0;
};

QString stateCounts(const std::array<int, production::kAddressStates> &counts, int width)
{
    QString line;
    for (int count : counts)
        line += QStringLiteral("%1").arg(count, width);
    return line;
}

int printStatus(Ledger &ledger, const production::AddressRange &range, Printer &printer)
{
    const auto status = ledger.status(range);
    if (!status.ok()) {
        Printer::complain(status.error);
        return kExitRecordFailed;
    }
    int nameWidth = 8;
    for (auto it = status.value.perStation.cbegin(); it != status.value.perStation.cend(); ++it)
        nameWidth = std::max(nameWidth, int(it.key().size()));
    constexpr int kCountWidth = 10;
    QString text = QStringLiteral("Ledger: %1\nAddresses %2\n\n").arg(ledger.where(), range.text());
    text += QStringLiteral("%1").arg(QString(), -nameWidth);
    for (int state = 0; state < production::kAddressStates; ++state)
        text += QStringLiteral("%1").arg(production::stateName(AddressState(state)), kCountWidth);
    text += u'\n';
    for (auto it = status.value.perStation.cbegin(); it != status.value.perStation.cend(); ++it)
        text +=
            QStringLiteral("%1%2\n").arg(it.key(), -nameWidth).arg(stateCounts(*it, kCountWidth));
    text += QStringLiteral("%1%2\n\n")
                .arg(QStringLiteral("all"), -nameWidth)
                .arg(stateCounts(status.value.perState, kCountWidth));
    text += QStringLiteral("Next free address: %1\n")
                .arg(status.value.nextFree ? production::addressText(*status.value.nextFree)
                                           : QStringLiteral("none, the range is used up"));
    printer.out(text);
    return kExitDone;
}

// The CSV columns: every key any record has, "type" and "run" first.
QStringList csvColumns()
{
    QStringList keys = production::RunStart{}.toJson(0).keys() +
                       production::UnitRecord{}.toJson().keys() +
                       production::RunEnd{}.toJson(0).keys();
    keys.removeDuplicates();
    keys.removeAll(QStringLiteral("type"));
    keys.removeAll(QStringLiteral("run"));
    keys.sort();
    return QStringList{QStringLiteral("type"), QStringLiteral("run")} + keys;
}

QString csvCell(const QJsonValue &value)
{
    QString text;
    if (value.isString())
        text = value.toString();
    else if (value.isBool())
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    else if (value.isDouble())
        text = QString::number(value.toInteger());
    else if (value.isArray())
        text = QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (text.contains(u',') || text.contains(u'"') || text.contains(u'\n') || text.contains(u'\r'))
        text = u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
    return text;
}

int printExport(Ledger &ledger, Format format, Printer &printer)
{
    const QStringList columns = csvColumns();
    if (format == Format::Csv)
        printer.out(columns.join(u',') + QStringLiteral("\r\n"));
    const QString error = ledger.exportRecords([&](const QJsonObject &record) {
        if (format == Format::Json) {
            printer.out(QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) +
                        u'\n');
            return;
        }
        QStringList cells;
        for (const QString &column : columns)
            cells << csvCell(record.value(column));
        printer.out(cells.join(u',') + QStringLiteral("\r\n"));
    });
    if (!error.isEmpty()) {
        Printer::complain(error);
        return kExitRecordFailed;
    }
    return kExitDone;
}

int printCheck(Ledger &ledger, const production::LedgerLocation &where, const QString &journal,
               Printer &printer)
{
    auto checked = ledger.check();
    if (!checked.ok()) {
        Printer::complain(checked.error);
        return kExitRecordFailed;
    }
    Ledger::CheckReport &report = checked.value;
    QString text = QStringLiteral("Ledger: %1\nChecked %2 addresses, %3 unit records and %4 "
                                  "runs.\n")
                       .arg(ledger.where())
                       .arg(report.addresses)
                       .arg(report.units)
                       .arg(report.runs);
    if (const QString failed = checkJournalRecords(ledger, where, journal, text, report.faults);
        !failed.isEmpty()) {
        Printer::complain(failed);
        return kExitRecordFailed;
    }
    for (const QString &fault : report.faults)
        text += QStringLiteral("FAULT: %1\n").arg(fault);
    if (!report.unknown.isEmpty()) {
        text += QStringLiteral("Reservations whose outcome was never recorded (out of circulation "
                               "for good): %1\n")
                    .arg(report.unknown.size());
        for (const Ledger::Reservation &reservation : report.unknown)
            text += QStringLiteral("  %1 %2 since %3 at %4, run %5\n")
                        .arg(production::addressText(reservation.address),
                             production::stateName(reservation.state),
                             production::timeText(reservation.taken), reservation.station)
                        .arg(reservation.runId);
    }
    text += report.faults.isEmpty() ? QStringLiteral("No faults.\n")
                                    : QStringLiteral("%1 faults.\n").arg(report.faults.size());
    printer.out(text);
    return report.faults.isEmpty() ? kExitDone : kExitDifferent;
}

} // namespace

int runLedgerVerb(const CliOptions &options)
{
    if (options.ledgerVerb == LedgerVerb::Sync)
        return runLedgerSync(options);
    production::LedgerLocation where;
    where.path = production::defaultLedgerPath();
    if (options.ledger)
        where = *options.ledger;
    auto opened = Ledger::open(where, Ledger::OpenMode::MustExist);
    if (const auto *error = std::get_if<QString>(&opened)) {
        Printer::complain(*error);
        return kExitRecordFailed;
    }
    Ledger &ledger = *std::get<std::unique_ptr<Ledger>>(opened);
    Printer printer;
    int code = kExitDone;
    switch (options.ledgerVerb) {
    case LedgerVerb::Status:
        code = printStatus(ledger, options.addresses.value_or(production::AddressRange{}), printer);
        break;
    case LedgerVerb::Export:
        code = printExport(ledger, options.format, printer);
        break;
    case LedgerVerb::Check:
        code = printCheck(ledger, where, options.journal, printer);
        break;
    case LedgerVerb::Sync:
        break;
    }
    const int written = printer.finish();
    return written != kExitDone ? written : code;
}

} // namespace korva::cli
