#include "cli/provision.h"

#include "cli/operatorview.h"
#include "cli/stopsignals.h"
#include "cli/terminal.h"
#include "production/job.h"
#include "production/provisionrun.h"
#include "production/recordsink.h"
#include "production/unithook.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>

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

// The job the options ask for: the job file's (--job), with every option
// given beside it over its fields.
std::variant<production::Job, QString> jobOf(const CliOptions &options)
{
    production::Job given;
    given.profile = options.profile;
    given.addresses = options.addresses;
    given.localAddressFrom = options.localAddressFrom;
    given.keepProfileAddress = options.keepProfileAddress;
    given.ledger = options.ledgerSpec;
    given.ports = options.ports;
    given.baud = options.baud;
    given.band = options.bandGiven ? options.band : QString();
    given.station = options.station;
    given.operatorName = options.operatorName;
    given.order = options.order;
    given.count = options.count;
    given.target = options.target;
    given.reprovision = options.reprovision;
    if (options.jobFile.isEmpty())
        return given;
    auto loaded = production::loadJob(options.jobFile);
    if (auto *job = std::get_if<production::Job>(&loaded))
        job->overlay(given);
    return loaded;
}

class Provision
{
public:
    explicit Provision(const CliOptions &options) : m_options(options) {}
    int execute();

private:
    int prepare(production::ProvisionSettings &settings);
    void runHook(production::UnitHook &hook, const production::UnitRecord &unit);
    void hookEnded(const production::UnitHookOutcome &outcome, production::ProvisionRun &run,
                   OperatorView &view);
    // Lets the commands still running end; a stop signal ends them at once.
    bool waitForHooks(production::UnitHook &hook, StopSignals &stops, OperatorView &view);
    int exitCode(const production::ProvisionRun &run, int signalNumber) const;

    const CliOptions &m_options;
    production::RecordSink m_records{STDOUT_FILENO};
    bool m_limited = false;       // the run ends after a count or a target of units
    production::RunStart m_start; // who runs what, for the commands run after each unit
    QString m_band;
};

// Everything that can be refused is refused here, before any port is opened.
int Provision::prepare(production::ProvisionSettings &settings)
{
    const auto job = jobOf(m_options);
    if (const auto *refused = std::get_if<QString>(&job)) {
        complain(*refused);
        return kExitUsage;
    }
    const production::PreparedJob prepared =
        production::prepareJob(std::get<production::Job>(job), versionText().trimmed());
    for (const QString &note : prepared.notes)
        complain(note);
    if (!prepared.refusal.isEmpty()) {
        complain(prepared.refusal);
        return kExitUsage;
    }
    settings = prepared.settings;
    settings.answerTimeoutMs = m_options.timeoutMs;
    m_limited = settings.count > 0 || settings.target > 0;
    if (!m_options.logFile.isEmpty()) {
        const QString failed = m_records.openLog(m_options.logFile);
        if (!failed.isEmpty()) {
            complain(QStringLiteral("cannot open the log: ") + failed);
            return kExitUsage;
        }
    }
    return kExitDone;
}

int Provision::exitCode(const production::ProvisionRun &run, int signalNumber) const
{
    // A unit on no ledger record outweighs how the run ended: it must be carried in.
    if (run.anyNotRecorded())
        return kExitRecordFailed;
    const int byUnits = run.anyFailed() ? kExitDifferent : kExitDone;
    switch (run.endReason()) {
    case EndReason::RecordFailed:
        return kExitRecordFailed;
    case EndReason::PortUnusable:
        return kExitNoPort;
    case EndReason::RangeUsedUp:
        return kExitRangeUsedUp;
    case EndReason::Stopped:
        // Without --count or --target a stop is how a run ends; with one, the batch is short.
        return m_limited ? 128 + signalNumber : byUnits;
    case EndReason::CountReached:
    case EndReason::None:
        return byUnits;
    }
    return byUnits;
}

// The unit's record goes to the command on its stdin. With --on-unit-required
// a unit that passed its verify ran its command before it was recorded.
void Provision::runHook(production::UnitHook &hook, const production::UnitRecord &unit)
{
    const bool gated = unit.packetLeft && (unit.result == QLatin1String("passed") ||
                                           unit.errorClass == QLatin1String("on-unit"));
    if (m_options.onUnitRequired && gated)
        return;
    hook.run(production::hookJobFor(unit, m_start, m_band));
}

// What became of the command is recorded with the unit (a command the unit
// waited for was recorded by its slot) and, when it failed, said with the
// unit's slot and address, so the unit can be found on the bench.
void Provision::hookEnded(const production::UnitHookOutcome &outcome, production::ProvisionRun &run,
                          OperatorView &view)
{
    if (!outcome.job.required)
        run.recordHookOutcome(outcome);
    if (outcome.ok())
        return;
    const production::UnitHookJob &job = outcome.job;
    view.message(QStringLiteral("slot %1 %2: --on-unit for %3 (%4): %5%6")
                     .arg(job.slot)
                     .arg(job.device,
                          job.address.isEmpty() ? QStringLiteral("no address") : job.address,
                          job.unit, outcome.status,
                          outcome.stderrTail.isEmpty()
                              ? QString()
                              : QStringLiteral(": ") + outcome.stderrTail.trimmed()));
}

bool Provision::waitForHooks(production::UnitHook &hook, StopSignals &stops, OperatorView &view)
{
    if (hook.pending() == 0)
        return false;
    view.message(QStringLiteral("waiting up to %1 s for %2 --on-unit command%3; Ctrl-C ends them")
                     .arg(QString::number(hook.timeLimit() / 1000.0))
                     .arg(hook.pending())
                     .arg(hook.pending() == 1 ? "" : "s"));
    bool stopped = false;
    const QMetaObject::Connection ending =
        QObject::connect(&stops, &StopSignals::stopRequested, &hook, [&] {
            stopped = true;
            hook.endAll();
        });
    hook.waitForPending();
    QObject::disconnect(ending);
    return stopped;
}

int Provision::execute()
{
    production::ProvisionSettings settings;
    if (const int code = prepare(settings))
        return code;
    settings.ledgerTimeoutMs = m_options.ledgerTimeoutMs;
    m_start = settings.start;
    m_band = settings.band;

    // Before anything else starts, so no signal finds the default action.
    StopSignals stops;
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
    QObject::connect(&stops, &StopSignals::stopRequested, &run, [&run] { run.stop(); });
    production::UnitHook hook(m_options.onUnit);
    hook.setTimeLimit(m_options.onUnitTimeoutMs);
    if (!m_options.onUnit.isEmpty()) {
        run.setUnitHook(&hook, m_options.onUnitRequired);
        QObject::connect(&run, &production::ProvisionRun::unitRecorded, &hook,
                         [&](const production::UnitRecord &unit) { runHook(hook, unit); });
        QObject::connect(
            &hook, &production::UnitHook::finished, &view,
            [&](const production::UnitHookOutcome &outcome) { hookEnded(outcome, run, view); });
    }
    const QString refused = run.start();
    for (const QString &note : run.notes())
        view.message(note);
    if (!refused.isEmpty()) {
        complain(refused);
        if (run.settingsRefused())
            return kExitUsage;
        if (stops.received() != 0)
            return 128 + stops.received();
        return run.endReason() == EndReason::RangeUsedUp ? kExitRangeUsedUp : kExitRecordFailed;
    }
    QObject::connect(
        &run, &production::ProvisionRun::slotEvent, &view, [&](const production::SlotEvent &event) {
            view.show(event);
            // An operator who cannot see the run any more stops it,
            // as a record that cannot be written does.
            if (!view.failure().isEmpty())
                run.fail(QStringLiteral("cannot write to standard error: ") + view.failure());
        });
    QEventLoop loop;
    QObject::connect(&run, &production::ProvisionRun::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const int signalBefore = stops.received();
    const bool hooksStopped = waitForHooks(hook, stops, view);
    // Unit lines still on their way to the view go out before its summary.
    QCoreApplication::sendPostedEvents(&view, QEvent::MetaCall);

    if (run.endReason() != EndReason::Stopped && run.endReason() != EndReason::CountReached)
        view.message(QStringLiteral("korva-cli: ") + run.endMessage());
    if (!view.finish(run.summary()).isEmpty() && run.endReason() != EndReason::RecordFailed)
        return kExitRecordFailed;
    const int code = exitCode(run, signalBefore);
    // Commands cut short by a stop make a run that was otherwise done a stopped one.
    if (hooksStopped && (code == kExitDone || code == kExitDifferent))
        return 128 + (signalBefore != 0 ? signalBefore : stops.received());
    return code;
}

} // namespace

int runProvision(const CliOptions &options)
{
    Provision provision(options);
    return provision.execute();
}

} // namespace korva::cli
