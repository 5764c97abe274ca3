#include "cli/ledgerverbs.h"

#include "cli/ledgersync.h"
#include "cli/ledgertables.h"
#include "production/ledger.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korva::cli
{

namespace
{

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

int printStatus(Ledger &ledger, const production::AddressRange &range, Printer &printer)
{
    const auto status = ledger.status(range);
    if (!status.ok()) {
        Printer::complain(status.error);
        return kExitRecordFailed;
    }
    printer.out(statusText(ledger.where(), status.value));
    return kExitDone;
}

// The CSV columns: every key any record has, "type" and "run" first.
QStringList csvColumns()
{
    QStringList keys = production::RunStart{}.toJson(0).keys() +
                       production::UnitRecord{}.toJson().keys() +
                       production::RunEnd{}.toJson(0).keys() + Ledger::hookKeys();
    keys.removeDuplicates();
    keys.removeAll(QStringLiteral("type"));
    keys.removeAll(QStringLiteral("run"));
    keys.sort();
    return QStringList{QStringLiteral("type"), QStringLiteral("run")} + keys;
}

// A spreadsheet reads 00020000 as the number 20000 and 000200E9 as 2E+11; with
// "0x" before it a hex value stays text there, and a program still reads it.
QString csvHex(const QString &column, const QString &text)
{
    static const QStringList hexColumns = {
        QStringLiteral("address"),   QStringLiteral("before"),    QStringLiteral("packet"),
        QStringLiteral("read-back"), QStringLiteral("next-free"), QStringLiteral("profile-sha256")};
    static const QRegularExpression range(QStringLiteral("^([0-9A-F]{8})-([0-9A-F]{8})$"));
    if (text.isEmpty())
        return text;
    if (hexColumns.contains(column))
        return QStringLiteral("0x") + text;
    if (column == QLatin1String("range"))
        return QString(text).replace(range, QStringLiteral("0x\\1-0x\\2"));
    return text;
}

QString csvCell(const QString &column, const QJsonValue &value)
{
    QString text;
    if (value.isString())
        text = csvHex(column, value.toString());
    else if (value.isBool())
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    else if (value.isDouble())
        text = QString::number(value.toInteger());
    else if (value.isArray())
        text = QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    // A text a spreadsheet would take for a formula (a station named
    // "=HYPERLINK(...)") is kept as text.
    static const QString formula = QStringLiteral("=+-@");
    if (value.isString() && !text.isEmpty() && formula.contains(text.at(0)))
        text.prepend(u'\'');
    if (text.contains(u',') || text.contains(u'"') || text.contains(u'\n') || text.contains(u'\r'))
        text = u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
    return text;
}

// --since and --until: a day (its start; for --until the end of it), or a date
// and time, local unless it carries an offset.
std::optional<QDateTime> timeBound(const QString &text, bool until)
{
    static const QRegularExpression day(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (day.match(text).hasMatch()) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (!date.isValid())
            return std::nullopt;
        return (until ? date.addDays(1) : date).startOfDay();
    }
    const QDateTime time = QDateTime::fromString(QString(text).replace(u' ', u'T'), Qt::ISODate);
    return time.isValid() ? std::optional<QDateTime>(time) : std::nullopt;
}

int printExport(Ledger &ledger, const CliOptions &options, Printer &printer)
{
    Ledger::ExportFilter filter;
    filter.station = options.station;
    filter.run = options.run;
    for (const auto &[name, text, until] :
         {std::tuple{QStringLiteral("--since"), options.since, false},
          std::tuple{QStringLiteral("--until"), options.until, true}}) {
        if (text.isEmpty())
            continue;
        const std::optional<QDateTime> bound = timeBound(text, until);
        if (!bound) {
            Printer::complain(QStringLiteral("%1 needs YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS] with "
                                             "an optional offset, not \"%2\"")
                                  .arg(name, text));
            return kExitUsage;
        }
        (until ? filter.until : filter.since) = *bound;
    }
    const bool csv = options.format == Format::Csv;
    const QStringList columns = csvColumns();
    if (csv)
        printer.out(columns.join(u',') + QStringLiteral("\r\n"));
    const QString error = ledger.exportRecords(filter, [&](const QJsonObject &record) {
        if (!csv) {
            printer.out(QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) +
                        u'\n');
            return;
        }
        QStringList cells;
        for (const QString &column : columns)
            cells << csvCell(column, record.value(column));
        printer.out(cells.join(u',') + QStringLiteral("\r\n"));
    });
    if (!error.isEmpty()) {
        Printer::complain(error);
        return kExitRecordFailed;
    }
    return kExitDone;
}

// Faults are printed as found; of the reservations, whose number may be large,
// the first are listed and the rest counted.
int printCheck(Ledger &ledger, const production::LedgerLocation &where, const QString &journal,
               Printer &printer)
{
    constexpr int kListed = 1000;
    printer.out(QStringLiteral("Ledger: %1\n").arg(ledger.where()));
    int faults = 0, unknown = 0;
    QString listed;
    const auto checked = ledger.check(
        [&](const QString &fault) {
            ++faults;
            printer.out(QStringLiteral("FAULT: %1\n").arg(fault));
        },
        [&](const Ledger::Reservation &reservation) {
            if (++unknown > kListed)
                return;
            listed +=
                QStringLiteral("  %1 %2 since %3 at %4, run %5\n")
                    .arg(production::addressText(reservation.address),
                         production::stateName(reservation.state),
                         production::timeText(reservation.taken), shownName(reservation.station))
                    .arg(reservation.runId);
        });
    if (!checked.ok()) {
        Printer::complain(checked.error);
        return kExitRecordFailed;
    }
    const Ledger::CheckReport &report = checked.value;
    QString text = QStringLiteral("Checked %1 addresses, %2 unit records and %3 runs.\n")
                       .arg(report.addresses)
                       .arg(report.units)
                       .arg(report.runs);
    QStringList missing;
    if (const QString failed = checkJournalRecords(ledger, where, journal, text, missing);
        !failed.isEmpty()) {
        Printer::complain(failed);
        return kExitRecordFailed;
    }
    for (const QString &fault : std::as_const(missing))
        text += QStringLiteral("FAULT: %1\n").arg(fault);
    faults += int(missing.size());
    if (unknown > 0) {
        text += QStringLiteral("Reservations whose outcome was never recorded (out of circulation "
                               "for good): %1\n")
                    .arg(unknown) +
                listed;
        if (unknown > kListed)
            text += QStringLiteral("  and %1 more\n").arg(unknown - kListed);
    }
    text +=
        faults == 0 ? QStringLiteral("No faults.\n") : QStringLiteral("%1 faults.\n").arg(faults);
    printer.out(text);
    return faults == 0 ? kExitDone : kExitDifferent;
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
        code = printExport(ledger, options, printer);
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
