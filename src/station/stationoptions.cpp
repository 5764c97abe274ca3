#include "station/stationoptions.h"

#include <QCommandLineParser>

namespace korva::station
{

namespace
{

const QString kUsage = QStringLiteral(R"(Usage: korva-station [JOB] [OPTIONS]

The operator's window of a production station: programs KORVA radio modem
modules attached to its slots one after another, each with a local address of
its own from the ledger, and shows each slot, the counters and the recent
units, readable across the room.

JOB is a job file saved by the window or written by hand (see korva-cli(1));
the options below override its fields, with the names korva-cli provision
uses.

Options:
  --profile FILE             The profile written to every unit.
  --addresses FROM-TO        Local addresses, 8 hex digits each.
  --local-address-from HEX8  The addresses from HEX8 up.
  --keep-profile-address     Every unit keeps the profile's address.
  --ledger FILE|URL          An SQLite file or a postgresql:// URL. Default:
                             $XDG_DATA_HOME/KORVA/ledger.sqlite.
  --port N|PATH              A slot; may be repeated, one slot each.
  --baud RATE                Line rate. Default: the stored rate, else 38400.
  --band 433Mhz|868Mhz       Band for the frequency.
  --station NAME             Recorded with the run. Default: the host name.
  --operator NAME            Recorded with the run. Default: the login name.
  --order NAME               An order or lot name recorded with the run.
  --target N                 End the run once N units have passed.
  --count N                  End the run once N units were written.
  --reprovision              Write a unit the ledger holds as passed again.
  --start                    Start the run at once, without a click.
  -h, --help                 Print this help.
  --version                  Print the version.

Keys: F5 starts, Shift+F5 stops (every slot finishes its step and leaves its
module in data mode; pressed again, every step ends at once), Ctrl+J edits the
job while no run is under way, F11 switches full screen. SIGTERM stops the run
as Stop does and then closes the window.
)");

bool readCount(const QString &text, int &number)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 1)
        return false;
    number = value;
    return true;
}

} // namespace

QString stationHelpText()
{
    return kUsage;
}

QString stationVersionText()
{
    return QStringLiteral("korva-station %1.%2.%3")
        .arg(KORVA_VERSION_MAJOR)
        .arg(KORVA_VERSION_MINOR)
        .arg(KORVA_VERSION_PATCH);
}

StationOptions parseStationOptions(const QStringList &arguments)
{
    using Action = StationOptions::Action;
    StationOptions parsed;
    const auto refuse = [&parsed](const QString &error) {
        parsed.action = Action::Error;
        parsed.error = error;
        return parsed;
    };
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const auto valued = [](const char *name, const char *value) {
        return QCommandLineOption(QString::fromLatin1(name), {}, QString::fromLatin1(value));
    };
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version(QStringLiteral("version"), {});
    const QCommandLineOption start(QStringLiteral("start"), {});
    const QCommandLineOption keep(QStringLiteral("keep-profile-address"), {});
    const QCommandLineOption reprovision(QStringLiteral("reprovision"), {});
    const QCommandLineOption profile = valued("profile", "FILE");
    const QCommandLineOption addresses = valued("addresses", "FROM-TO");
    const QCommandLineOption from = valued("local-address-from", "HEX8");
    const QCommandLineOption ledger = valued("ledger", "FILE|URL");
    const QCommandLineOption port = valued("port", "N|PATH");
    const QCommandLineOption baud = valued("baud", "RATE");
    const QCommandLineOption band = valued("band", "BAND");
    const QCommandLineOption station = valued("station", "NAME");
    const QCommandLineOption operatorName = valued("operator", "NAME");
    const QCommandLineOption order = valued("order", "NAME");
    const QCommandLineOption target = valued("target", "N");
    const QCommandLineOption count = valued("count", "N");
    const QList<QCommandLineOption> known{
        help, version, start, keep,    reprovision,  profile, addresses, from, ledger,
        port, baud,    band,  station, operatorName, order,   target,    count};
    parser.addOptions(known);
    if (!parser.parse(QStringList{QStringLiteral("korva-station")} + arguments))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        parsed.action = Action::Help;
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.action = Action::Version;
        return parsed;
    }
    for (const QCommandLineOption &option : known) {
        for (const QString &value : parser.values(option)) {
            if (!option.valueName().isEmpty() && value.trimmed().isEmpty())
                return refuse(QStringLiteral("--%1 needs a value; it was given an empty one")
                                  .arg(option.names().constLast()));
        }
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return refuse(
            QStringLiteral("unexpected argument \"%1\": give one job file").arg(positional.at(1)));
    parsed.jobFile = positional.value(0);
    parsed.start = parser.isSet(start);

    production::Job &job = parsed.given;
    job.profile = parser.value(profile);
    if (parser.isSet(addresses)) {
        job.addresses = production::parseAddressRange(parser.value(addresses));
        if (!job.addresses)
            return refuse(QStringLiteral("--addresses needs FROM-TO, 8 hex digits each, FROM "
                                         "not above TO"));
    }
    job.localAddressFrom = parser.value(from);
    job.keepProfileAddress = parser.isSet(keep);
    job.ledger = parser.value(ledger);
    if (!job.ledger.isEmpty()) {
        const auto parsedLedger = production::parseLedgerSpec(job.ledger);
        if (const auto *refusal = std::get_if<QString>(&parsedLedger))
            return refuse(QStringLiteral("--ledger: ") + *refusal);
    }
    job.ports = parser.values(port);
    if (job.ports.removeDuplicates() > 0)
        return refuse(QStringLiteral("a --port is given twice"));
    job.baud = parser.value(baud);
    job.band = parser.value(band);
    job.station = parser.value(station);
    job.operatorName = parser.value(operatorName);
    job.order = parser.value(order);
    job.reprovision = parser.isSet(reprovision);
    if (parser.isSet(target) && !readCount(parser.value(target), job.target))
        return refuse(QStringLiteral("--target needs a number of units, 1 or more"));
    if (parser.isSet(count) && !readCount(parser.value(count), job.count))
        return refuse(QStringLiteral("--count needs a number of units, 1 or more"));
    return parsed;
}

} // namespace korva::station

namespace korva::station
{

production::Job jobOf(const StationOptions &options, QString &refusal)
{
    production::Job job;
    if (!options.jobFile.isEmpty()) {
        auto loaded = production::loadJob(options.jobFile);
        if (const auto *read = std::get_if<production::Job>(&loaded))
            job = *read;
        else
            refusal = std::get<QString>(loaded);
    }
    job.overlay(options.given);
    return job;
}

} // namespace korva::station
