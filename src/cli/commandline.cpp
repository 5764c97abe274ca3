#include "cli/commandline.h"

#include "production/unitrecord.h"

#include <QCommandLineParser>

#include <limits>

namespace korva::cli
{

namespace
{

constexpr int kMaxRetries = 20;
constexpr int kMaxTimeoutMs = 60000;
constexpr int kMaxLedgerTimeoutS = 3600;
constexpr int kMaxOnUnitTimeoutS = 86400;

bool readNumber(const QString &text, int lowest, int highest, int &number)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < lowest || value > highest)
        return false;
    number = value;
    return true;
}

bool readRunId(const QString &text, qint64 &run)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (!ok || value < 1)
        return false;
    run = value;
    return true;
}

// Seconds, a fraction allowed, as milliseconds.
bool readSeconds(const QString &text, int highest, int &ms)
{
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > highest || seconds * 1000 < 1)
        return false;
    ms = int(seconds * 1000);
    return true;
}

// The word after "ledger" and the options each of its verbs takes.
ParsedCommandLine parseLedgerVerb(const QStringList &positional, bool formatGiven,
                                  bool ledgerTimeoutGiven, bool otherOptions,
                                  ParsedCommandLine &parsed)
{
    CliOptions &options = parsed.options;
    const auto refuse = [&](const QString &error) {
        parsed.action = ParsedCommandLine::Action::Error;
        parsed.error = error;
        return parsed;
    };
    const QString word = positional.value(1);
    if (word == QLatin1String("status"))
        options.ledgerVerb = LedgerVerb::Status;
    else if (word == QLatin1String("export"))
        options.ledgerVerb = LedgerVerb::Export;
    else if (word == QLatin1String("check"))
        options.ledgerVerb = LedgerVerb::Check;
    else if (word == QLatin1String("sync"))
        options.ledgerVerb = LedgerVerb::Sync;
    else
        return refuse(word.isEmpty()
                          ? QStringLiteral("ledger needs status, export, check or sync")
                          : QStringLiteral("ledger needs status, export, check or sync, not \"%1\"")
                                .arg(word));
    if (!options.journal.isEmpty() && options.ledgerVerb != LedgerVerb::Check &&
        options.ledgerVerb != LedgerVerb::Sync)
        return refuse(QStringLiteral("--journal belongs to ledger check and ledger sync"));
    if (ledgerTimeoutGiven && options.ledgerVerb != LedgerVerb::Sync)
        return refuse(QStringLiteral("--ledger-timeout belongs to provision and ledger sync"));
    if (options.ledgerVerb == LedgerVerb::Export) {
        if (!formatGiven)
            options.format = Format::Json;
        else if (options.format != Format::Json && options.format != Format::Csv)
            return refuse(QStringLiteral("ledger export prints json or csv"));
    } else if (formatGiven) {
        return refuse(QStringLiteral("--format belongs to ledger export"));
    }
    if (options.addresses && options.ledgerVerb != LedgerVerb::Status)
        return refuse(QStringLiteral("--addresses belongs to ledger status"));
    const bool filtered = !options.since.isEmpty() || !options.until.isEmpty() ||
                          !options.station.isEmpty() || options.run > 0;
    if (filtered && options.ledgerVerb != LedgerVerb::Export)
        return refuse(QStringLiteral("--since, --until, --station and --run belong to ledger "
                                     "export"));
    if (otherOptions)
        return refuse(QStringLiteral("ledger takes --ledger, --addresses, --format, --since, "
                                     "--until, --station, --run, --journal, --ledger-timeout and "
                                     "--quiet only"));
    return parsed;
}

} // namespace

QString versionText()
{
    return QStringLiteral("korva-cli %1.%2.%3\n")
        .arg(KORVA_VERSION_MAJOR)
        .arg(KORVA_VERSION_MINOR)
        .arg(KORVA_VERSION_PATCH);
}

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    using Action = ParsedCommandLine::Action;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version(QStringLiteral("version"), {});
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("N|PATH"));
    const QCommandLineOption baud(QStringLiteral("baud"), {}, QStringLiteral("RATE"));
    const QCommandLineOption band(QStringLiteral("band"), {}, QStringLiteral("BAND"));
    const QCommandLineOption format(QStringLiteral("format"), {}, QStringLiteral("FORMAT"));
    const QCommandLineOption set(QStringLiteral("set"), {}, QStringLiteral("KEY=VALUE"));
    const QCommandLineOption profile(QStringLiteral("profile"), {}, QStringLiteral("FILE"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"), {});
    const QCommandLineOption noVerify(QStringLiteral("no-verify"), {});
    const QCommandLineOption yes(QStringLiteral("yes"), {});
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("MS"));
    const QCommandLineOption retries(QStringLiteral("retries"), {}, QStringLiteral("N"));
    const QCommandLineOption trace(QStringLiteral("trace"), {});
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")}, {});
    const QCommandLineOption localAddressFrom(QStringLiteral("local-address-from"), {},
                                              QStringLiteral("HEX8"));
    const QCommandLineOption count(QStringLiteral("count"), {}, QStringLiteral("N"));
    const QCommandLineOption logFile(QStringLiteral("log"), {}, QStringLiteral("FILE"));
    const QCommandLineOption ledger(QStringLiteral("ledger"), {}, QStringLiteral("FILE|URL"));
    const QCommandLineOption addresses(QStringLiteral("addresses"), {}, QStringLiteral("FROM-TO"));
    const QCommandLineOption keepProfileAddress(QStringLiteral("keep-profile-address"), {});
    const QCommandLineOption reprovision(QStringLiteral("reprovision"), {});
    const QCommandLineOption station(QStringLiteral("station"), {}, QStringLiteral("NAME"));
    const QCommandLineOption operatorName(QStringLiteral("operator"), {}, QStringLiteral("NAME"));
    const QCommandLineOption noColor(QStringLiteral("no-color"), {});
    const QCommandLineOption onUnit(QStringLiteral("on-unit"), {}, QStringLiteral("CMD"));
    const QCommandLineOption since(QStringLiteral("since"), {}, QStringLiteral("TIME"));
    const QCommandLineOption until(QStringLiteral("until"), {}, QStringLiteral("TIME"));
    const QCommandLineOption run(QStringLiteral("run"), {}, QStringLiteral("ID"));
    const QCommandLineOption onUnitTimeout(QStringLiteral("on-unit-timeout"), {},
                                           QStringLiteral("SECONDS"));
    const QCommandLineOption onUnitRequired(QStringLiteral("on-unit-required"), {});
    const QCommandLineOption ledgerTimeout(QStringLiteral("ledger-timeout"), {},
                                           QStringLiteral("SECONDS"));
    const QCommandLineOption journal(QStringLiteral("journal"), {}, QStringLiteral("DIR|FILE"));
    const QCommandLineOption job(QStringLiteral("job"), {}, QStringLiteral("FILE"));
    const QCommandLineOption target(QStringLiteral("target"), {}, QStringLiteral("N"));
    const QCommandLineOption order(QStringLiteral("order"), {}, QStringLiteral("NAME"));
    const QList<QCommandLineOption> known = {help,
                                             version,
                                             port,
                                             baud,
                                             band,
                                             format,
                                             set,
                                             profile,
                                             dryRun,
                                             noVerify,
                                             yes,
                                             timeout,
                                             retries,
                                             trace,
                                             quiet,
                                             localAddressFrom,
                                             count,
                                             logFile,
                                             ledger,
                                             addresses,
                                             keepProfileAddress,
                                             reprovision,
                                             station,
                                             operatorName,
                                             noColor,
                                             onUnit,
                                             since,
                                             until,
                                             run,
                                             onUnitTimeout,
                                             onUnitRequired,
                                             ledgerTimeout,
                                             journal,
                                             job,
                                             target,
                                             order};
    parser.addOptions(known);

    ParsedCommandLine parsed;
    const auto refuse = [&](const QString &error) {
        parsed.action = Action::Error;
        parsed.error = error;
        return parsed;
    };
    if (!parser.parse(QStringList{QStringLiteral("korva-cli")} + arguments))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        parsed.action = Action::Help;
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.action = Action::Version;
        return parsed;
    }
    // An empty value would otherwise quietly mean "not given": the stored port,
    // the profile's address, no log.
    for (const QCommandLineOption &option : known) {
        if (option.valueName().isEmpty())
            continue;
        for (const QString &value : parser.values(option)) {
            if (value.trimmed().isEmpty())
                return refuse(QStringLiteral("--%1 needs a value; it was given an empty one")
                                  .arg(option.names().constLast()));
        }
    }

    CliOptions &options = parsed.options;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return refuse(QStringLiteral(
            "no verb given (ports, read, write, verify, reset-defaults, provision, ledger)"));
    const QString verb = positional.constFirst();
    const int words = verb == QLatin1String("ledger") ? 2 : 1;
    if (positional.size() > words)
        return refuse(QStringLiteral("unexpected argument \"%1\"").arg(positional.at(words)));
    if (verb == QLatin1String("ports"))
        options.verb = Verb::Ports;
    else if (verb == QLatin1String("read"))
        options.verb = Verb::Read;
    else if (verb == QLatin1String("write"))
        options.verb = Verb::Write;
    else if (verb == QLatin1String("verify"))
        options.verb = Verb::Verify;
    else if (verb == QLatin1String("reset-defaults"))
        options.verb = Verb::ResetDefaults;
    else if (verb == QLatin1String("provision"))
        options.verb = Verb::Provision;
    else if (verb == QLatin1String("ledger"))
        options.verb = Verb::Ledger;
    else
        return refuse(QStringLiteral("unknown verb \"%1\"").arg(verb));

    options.port = parser.value(port);
    options.ports = parser.values(port);
    options.baud = parser.value(baud);
    options.bandGiven = parser.isSet(band);
    if (options.bandGiven) {
        const QString value = parser.value(band);
        if (value.compare(QLatin1String("433Mhz"), Qt::CaseInsensitive) == 0)
            options.band = QStringLiteral("433Mhz");
        else if (value.compare(QLatin1String("868Mhz"), Qt::CaseInsensitive) == 0)
            options.band = QStringLiteral("868Mhz");
        else
            return refuse(QStringLiteral("--band must be 433Mhz or 868Mhz, not \"%1\"").arg(value));
    }
    if (parser.isSet(format)) {
        const QString value = parser.value(format);
        if (value == QLatin1String("text"))
            options.format = Format::Text;
        else if (value == QLatin1String("json"))
            options.format = Format::Json;
        else if (value == QLatin1String("hex"))
            options.format = Format::Hex;
        else if (value == QLatin1String("csv") && options.verb == Verb::Ledger)
            options.format = Format::Csv;
        else
            return refuse(
                QStringLiteral("--format must be text, json or hex, not \"%1\"").arg(value));
    }
    if (parser.isSet(timeout) &&
        !readNumber(parser.value(timeout), 1, kMaxTimeoutMs, options.timeoutMs))
        return refuse(QStringLiteral("--timeout needs milliseconds, 1 to %1").arg(kMaxTimeoutMs));
    if (parser.isSet(retries) &&
        !readNumber(parser.value(retries), 0, kMaxRetries, options.retries))
        return refuse(QStringLiteral("--retries needs a number, 0 to %1").arg(kMaxRetries));
    options.sets = parser.values(set);
    options.profile = parser.value(profile);
    options.dryRun = parser.isSet(dryRun);
    options.noVerify = parser.isSet(noVerify);
    options.yes = parser.isSet(yes);
    options.trace = parser.isSet(trace);
    options.quiet = parser.isSet(quiet);
    options.localAddressFrom = parser.value(localAddressFrom);
    options.logFile = parser.value(logFile);
    if (parser.isSet(count) &&
        !readNumber(parser.value(count), 1, std::numeric_limits<int>::max(), options.count))
        return refuse(QStringLiteral("--count needs a number of units, 1 or more"));
    if (parser.isSet(target) &&
        !readNumber(parser.value(target), 1, std::numeric_limits<int>::max(), options.target))
        return refuse(QStringLiteral("--target needs a number of units, 1 or more"));

    if (parser.isSet(ledger)) {
        auto parsedLedger = production::parseLedgerSpec(parser.value(ledger));
        if (const auto *refusal = std::get_if<QString>(&parsedLedger))
            return refuse(QStringLiteral("--ledger: ") + *refusal);
        options.ledger = std::get<production::LedgerLocation>(parsedLedger);
        options.ledgerSpec = parser.value(ledger);
    }
    if (parser.isSet(addresses)) {
        options.addresses = production::parseAddressRange(parser.value(addresses));
        if (!options.addresses)
            return refuse(QStringLiteral("--addresses needs FROM-TO, 8 hex digits each, FROM "
                                         "not above TO"));
    }
    if (parser.isSet(ledgerTimeout) &&
        !readSeconds(parser.value(ledgerTimeout), kMaxLedgerTimeoutS, options.ledgerTimeoutMs))
        return refuse(QStringLiteral("--ledger-timeout needs seconds, more than 0 and at most %1")
                          .arg(kMaxLedgerTimeoutS));
    options.journal = parser.value(journal);
    options.station = parser.value(station);
    options.operatorName = parser.value(operatorName);
    for (const auto &[name, value] : {std::pair{QStringLiteral("--station"), options.station},
                                      std::pair{QStringLiteral("--operator"), options.operatorName},
                                      std::pair{QStringLiteral("--order"), parser.value(order)}})
        if (const QString refused = production::nameRefusal(value); !refused.isEmpty())
            return refuse(QStringLiteral("%1 %2").arg(name, refused));
    if (options.verb == Verb::Ledger) {
        options.since = parser.value(since);
        options.until = parser.value(until);
        if (parser.isSet(run) && !readRunId(parser.value(run), options.run))
            return refuse(QStringLiteral("--run needs a run's number, 1 or more"));
        bool otherOptions = false;
        for (const QCommandLineOption *option : {&port,        &baud,          &band,
                                                 &set,         &profile,       &dryRun,
                                                 &noVerify,    &yes,           &timeout,
                                                 &retries,     &trace,         &localAddressFrom,
                                                 &count,       &logFile,       &keepProfileAddress,
                                                 &reprovision, &operatorName,  &noColor,
                                                 &onUnit,      &job,           &target,
                                                 &order,       &onUnitTimeout, &onUnitRequired})
            otherOptions = otherOptions || parser.isSet(*option);
        return parseLedgerVerb(positional, parser.isSet(format), parser.isSet(ledgerTimeout),
                               otherOptions, parsed);
    }
    for (const QCommandLineOption *option : {&since, &until, &run})
        if (parser.isSet(*option))
            return refuse(
                QStringLiteral("--%1 belongs to ledger export").arg(option->names().last()));
    options.keepProfileAddress = parser.isSet(keepProfileAddress);
    options.reprovision = parser.isSet(reprovision);
    options.noColor = parser.isSet(noColor);
    options.onUnit = parser.value(onUnit);
    options.onUnitRequired = parser.isSet(onUnitRequired);
    if (parser.isSet(onUnitTimeout) &&
        !readSeconds(parser.value(onUnitTimeout), kMaxOnUnitTimeoutS, options.onUnitTimeoutMs))
        return refuse(QStringLiteral("--on-unit-timeout needs seconds, more than 0 and at most %1")
                          .arg(kMaxOnUnitTimeoutS));
    options.jobFile = parser.value(job);
    options.order = parser.value(order);

    if (options.verb == Verb::Provision) {
        if (options.ports.removeDuplicates() > 0)
            return refuse(QStringLiteral("a --port is given twice"));
        if ((options.profile.isEmpty() && options.jobFile.isEmpty()) || !options.sets.isEmpty())
            return refuse(QStringLiteral("provision needs --profile FILE or --job FILE (and no "
                                         "--set)"));
        if (parser.isSet(format) && options.format != Format::Json)
            return refuse(QStringLiteral("provision prints JSON Lines; --format does not apply"));
        if (options.dryRun || options.noVerify || options.yes)
            return refuse(QStringLiteral("--dry-run, --no-verify and --yes do not apply to "
                                         "provision"));
        if (options.onUnit.isEmpty() && (parser.isSet(onUnitTimeout) || options.onUnitRequired))
            return refuse(
                QStringLiteral("--on-unit-timeout and --on-unit-required need --on-unit"));
        if (!options.journal.isEmpty())
            return refuse(QStringLiteral("--journal belongs to ledger check and ledger sync"));
        return parsed;
    }
    if (options.ports.size() > 1)
        return refuse(QStringLiteral("--port is given once, except for provision"));
    if (options.ledger || options.addresses)
        return refuse(QStringLiteral("--ledger and --addresses belong to ledger and provision"));
    for (const QCommandLineOption *option :
         {&localAddressFrom, &count, &logFile, &keepProfileAddress, &reprovision, &station,
          &operatorName, &noColor, &onUnit, &onUnitTimeout, &onUnitRequired, &ledgerTimeout, &job,
          &target, &order}) {
        if (parser.isSet(*option))
            return refuse(QStringLiteral("--%1 belongs to provision").arg(option->names().last()));
    }
    if (!options.journal.isEmpty())
        return refuse(QStringLiteral("--journal belongs to ledger check and ledger sync"));
    const bool takesValues = options.verb == Verb::Write || options.verb == Verb::Verify;
    if (takesValues && options.sets.isEmpty() && options.profile.isEmpty())
        return refuse(QStringLiteral("%1 needs --set KEY=VALUE or --profile FILE").arg(verb));
    if (!options.sets.isEmpty() && !options.profile.isEmpty())
        return refuse(QStringLiteral("give --set or --profile, not both"));
    if (!takesValues && (!options.sets.isEmpty() || !options.profile.isEmpty()))
        return refuse(QStringLiteral("%1 takes no --set or --profile").arg(verb));
    if (options.verb != Verb::Write && (options.dryRun || options.noVerify))
        return refuse(QStringLiteral("--dry-run and --no-verify belong to write"));
    if (options.verb != Verb::ResetDefaults && options.yes)
        return refuse(QStringLiteral("--yes belongs to reset-defaults"));
    return parsed;
}

} // namespace korva::cli
