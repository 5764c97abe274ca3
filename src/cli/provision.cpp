#include "cli/provision.h"

#include "cli/fieldvalues.h"
#include "cli/operatorview.h"
#include "cli/portchoice.h"
#include "cli/profile.h"
#include "cli/stopsignals.h"
#include "cli/terminal.h"
#include "module/moduleengine.h"
#include "production/provisionrun.h"
#include "production/recordsink.h"
#include "production/unithook.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korva::cli
{

namespace
{

using production::EndReason;

// Whether standard output goes to the terminal the view draws its table on.
bool outputSharesTerminal(const OperatorView &view)
{
    struct stat output = {};
    struct stat error = {};
    return view.isTerminal() && ::isatty(STDOUT_FILENO) && ::fstat(STDOUT_FILENO, &output) == 0 &&
           ::fstat(STDERR_FILENO, &error) == 0 && output.st_rdev == error.st_rdev;
}

QString loginName()
{
    if (const passwd *user = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return qEnvironmentVariable("USER");
}

class Provision
{
public:
    explicit Provision(const CliOptions &options) : m_options(options) {}
    int execute();

private:
    int prepare(production::ProvisionSettings &settings);
    int chooseRange(production::ProvisionSettings &settings);
    int choosePorts(production::ProvisionSettings &settings);
    void describeRun(production::ProvisionSettings &settings, const QByteArray &profile) const;
    void runHook(production::UnitHook &hook, const production::UnitRecord &unit);
    void hookEnded(const production::UnitHookOutcome &outcome, OperatorView &view);
    int exitCode(const production::ProvisionRun &run, int signalNumber) const;

    const CliOptions &m_options;
    production::RecordSink m_records{STDOUT_FILENO};
};

// Everything that can be refused is refused here, before any port is opened.
int Provision::prepare(production::ProvisionSettings &settings)
{
    const RunValues values = gatherValues(m_options);
    if (!values.error.isEmpty()) {
        complain(values.error + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    for (const QString &note : values.notes)
        complain(note);
    settings.band = values.band;
    settings.profileOver = [changes = values.changes](const ConfigTexts &held) {
        ConfigTexts texts = held;
        applyChanges(texts, changes);
        return texts;
    };
    if (const int code = chooseRange(settings))
        return code;
    settings.reprovision = m_options.reprovision;
    settings.count = m_options.count;
    settings.answerTimeoutMs = m_options.timeoutMs;
    settings.ledger.path = production::defaultLedgerPath();
    if (m_options.ledger)
        settings.ledger = *m_options.ledger;
    if (!m_options.logFile.isEmpty()) {
        const QString failed = m_records.openLog(m_options.logFile);
        if (!failed.isEmpty()) {
            complain(QStringLiteral("cannot open the log: ") + failed);
            return kExitUsage;
        }
    }
    if (const int code = choosePorts(settings))
        return code;
    describeRun(settings, values.profile);
    return kExitDone;
}

// Where the units' addresses come from: a range of the ledger, or the profile.
int Provision::chooseRange(production::ProvisionSettings &settings)
{
    const int ways = int(m_options.addresses.has_value()) +
                     int(!m_options.localAddressFrom.isEmpty()) + int(m_options.keepProfileAddress);
    if (ways != 1) {
        complain(ways == 0 ? QStringLiteral("provision needs --addresses FROM-TO or "
                                            "--local-address-from HEX8, or "
                                            "--keep-profile-address to give every unit the "
                                            "profile's address")
                           : QStringLiteral("give one of --addresses, --local-address-from and "
                                            "--keep-profile-address"));
        return kExitUsage;
    }
    settings.range = m_options.addresses;
    if (!m_options.localAddressFrom.isEmpty()) {
        Changes first;
        const QString refused =
            addChange(first, QStringLiteral("local-address"), m_options.localAddressFrom);
        if (!refused.isEmpty()) {
            complain(QStringLiteral("--local-address-from: ") + refused);
            return kExitUsage;
        }
        settings.range = production::AddressRange{
            first.fields[Field::LocalAddress].toUInt(nullptr, 16), 0xFFFFFFFF};
    }
    if (settings.range && m_options.count > 0 &&
        quint64(m_options.count) > quint64(settings.range->last) - settings.range->first + 1) {
        complain(QStringLiteral("%1 units do not fit the addresses %2")
                     .arg(m_options.count)
                     .arg(settings.range->text()));
        return kExitUsage;
    }
    return kExitDone;
}

// Each --port is checked and made absolute as for the other verbs; the engine
// here only checks the line rate, which every slot's own engine then takes.
int Provision::choosePorts(production::ProvisionSettings &settings)
{
    const QStringList given = m_options.ports.isEmpty() ? QStringList{QString()} : m_options.ports;
    ModuleEngine probe;
    for (const QString &port : given) {
        CliOptions one = m_options;
        one.port = port;
        const auto chosen = choosePort(one, probe);
        if (const auto *refusal = std::get_if<QString>(&chosen)) {
            complain(*refusal);
            return kExitUsage;
        }
        const PortChoice &choice = std::get<PortChoice>(chosen);
        settings.ports << production::SlotPort{choice.port, choice.byNumber};
        settings.baud = QString::number(choice.baud);
    }
    return kExitDone;
}

// The run's start record: who runs what, where, with which profile.
void Provision::describeRun(production::ProvisionSettings &settings,
                            const QByteArray &profile) const
{
    production::RunStart &start = settings.start;
    start.host = QSysInfo::machineHostName();
    start.station = m_options.station.isEmpty() ? start.host : m_options.station;
    start.operatorName = m_options.operatorName.isEmpty() ? loginName() : m_options.operatorName;
    start.toolVersion = versionText().trimmed();
    start.profileName = m_options.profile == QLatin1String("-")
                            ? QStringLiteral("(standard input)")
                            : QFileInfo(m_options.profile).fileName();
    start.profileSha256 =
        QString::fromLatin1(QCryptographicHash::hash(profile, QCryptographicHash::Sha256).toHex());
    start.range = settings.range ? settings.range->text() : QStringLiteral("the profile's");
    QStringList ports;
    for (const production::SlotPort &port : std::as_const(settings.ports))
        ports << port.port;
    start.ports = ports.join(QStringLiteral(", "));
    start.baud = settings.baud.toInt();
    start.band = settings.band;
}

int Provision::exitCode(const production::ProvisionRun &run, int signalNumber) const
{
    const int byUnits = run.anyFailed() ? kExitDifferent : kExitDone;
    switch (run.endReason()) {
    case EndReason::RecordFailed:
        return kExitRecordFailed;
    case EndReason::PortUnusable:
        return kExitNoPort;
    case EndReason::RangeUsedUp:
        return kExitRangeUsedUp;
    case EndReason::Stopped:
        // Without --count a stop is how a run ends; with it, the batch is short.
        return m_options.count > 0 ? 128 + signalNumber : byUnits;
    case EndReason::CountReached:
    case EndReason::None:
        return byUnits;
    }
    return byUnits;
}

// The unit's record goes to the command on its stdin; what became of the
// command is added to the log and, when it failed, said on the view.
void Provision::runHook(production::UnitHook &hook, const production::UnitRecord &unit)
{
    hook.run({QStringLiteral("run %1 unit %2").arg(unit.runId).arg(unit.sequence),
              QJsonDocument(unit.toJson()).toJson(QJsonDocument::Compact) + '\n', unit.result,
              unit.address ? production::addressText(*unit.address) : QString(), unit.device});
}

void Provision::hookEnded(const production::UnitHookOutcome &outcome, OperatorView &view)
{
    const QString failed =
        m_records.appendToLog({{QStringLiteral("type"), QStringLiteral("on-unit")},
                               {QStringLiteral("unit"), outcome.unit},
                               {QStringLiteral("status"), outcome.status},
                               {QStringLiteral("stderr"), outcome.stderrTail},
                               {QStringLiteral("stdin-error"), outcome.stdinError}});
    if (!failed.isEmpty())
        view.message(failed);
    if (!outcome.ok())
        view.message(QStringLiteral("--on-unit for %1: %2%3")
                         .arg(outcome.unit, outcome.status,
                              outcome.stderrTail.isEmpty()
                                  ? QString()
                                  : QStringLiteral(": ") + outcome.stderrTail.trimmed()));
}

int Provision::execute()
{
    production::ProvisionSettings settings;
    if (const int code = prepare(settings))
        return code;

    OperatorView view(STDERR_FILENO, m_options.noColor);
    view.message(QStringLiteral("ledger: %1").arg(settings.ledger.display()));
    // Lines written between the table's redraws would break it apart: on the
    // same terminal each unit's line goes above the table instead, whole.
    if (outputSharesTerminal(view)) {
        m_records.setOutput([&view](const QByteArray &line) {
            QMetaObject::invokeMethod(
                &view, [&view, line] { view.message(QString::fromUtf8(line.chopped(1))); },
                Qt::QueuedConnection);
            return QString();
        });
    }
    production::ProvisionRun run(settings, m_records);
    if (const QString refused = run.start(); !refused.isEmpty()) {
        complain(refused);
        if (run.settingsRefused())
            return kExitUsage;
        return run.endReason() == EndReason::RangeUsedUp ? kExitRangeUsedUp : kExitRecordFailed;
    }
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &run, [&run] { run.stop(); });
    QObject::connect(
        &run, &production::ProvisionRun::slotEvent, &view, [&](const production::SlotEvent &event) {
            view.show(event);
            // An operator who cannot see the run any more stops it,
            // as a record that cannot be written does.
            if (!view.failure().isEmpty())
                run.fail(QStringLiteral("cannot write to standard error: ") + view.failure());
        });
    production::UnitHook hook(m_options.onUnit);
    if (!m_options.onUnit.isEmpty()) {
        QObject::connect(&run, &production::ProvisionRun::unitRecorded, &hook,
                         [&](const production::UnitRecord &unit) { runHook(hook, unit); });
        QObject::connect(
            &hook, &production::UnitHook::finished, &view,
            [&](const production::UnitHookOutcome &outcome) { hookEnded(outcome, view); });
    }
    QEventLoop loop;
    QObject::connect(&run, &production::ProvisionRun::finished, &loop, &QEventLoop::quit);
    loop.exec();
    hook.waitForPending();
    // Unit lines still on their way to the view go out before its summary.
    QCoreApplication::sendPostedEvents(&view, QEvent::MetaCall);

    if (run.endReason() != EndReason::Stopped && run.endReason() != EndReason::CountReached)
        view.message(QStringLiteral("korva-cli: ") + run.endMessage());
    if (!view.finish(run.summary()).isEmpty() && run.endReason() != EndReason::RecordFailed)
        return kExitRecordFailed;
    return exitCode(run, stops.received());
}

} // namespace

int runProvision(const CliOptions &options)
{
    Provision provision(options);
    return provision.execute();
}

} // namespace korva::cli
