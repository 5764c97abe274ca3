#include "cli/provision.h"

#include "cli/fieldvalues.h"
#include "cli/portchoice.h"
#include "cli/profile.h"
#include "cli/stopsignals.h"
#include "module/moduleengine.h"
#include "production/provisionrun.h"
#include "production/recordsink.h"

#include <QEventLoop>

#include <cstdio>
#include <unistd.h>

namespace korva::cli
{

namespace
{

using production::EndReason;
using production::SlotEvent;
using production::SlotState;

constexpr quint64 kLastAddress = 0xFFFFFFFF;
constexpr int kHighestPortNumber = 15;

void complain(const QString &text)
{
    const QByteArray bytes = (QStringLiteral("korva-cli: ") + text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// A port argument that can never name a device is refused before anything is
// opened; a path that does not exist yet is waited for.
QString refusedPort(const QString &port)
{
    if (port.trimmed().isEmpty())
        return QStringLiteral("--port needs a port number or a device path, not a blank");
    const bool number = std::all_of(port.begin(), port.end(), [](QChar c) { return c.isDigit(); });
    if (!number)
        return {};
    bool ok = false;
    const int value = port.toInt(&ok);
    if (!ok || value < 1 || value > kHighestPortNumber)
        return QStringLiteral("there is no port %1: the port numbers are 1 to %2 "
                              "(korva-cli ports lists them)")
            .arg(port)
            .arg(kHighestPortNumber);
    return {};
}

class Provision
{
public:
    explicit Provision(const CliOptions &options) : m_options(options) {}
    int execute();

private:
    int prepare(production::ProvisionSettings &settings);
    int choosePorts(production::ProvisionSettings &settings);
    void show(const SlotEvent &event) const;
    int exitCode(const production::ProvisionRun &run, int signalNumber) const;

    const CliOptions &m_options;
    production::RecordSink m_records{STDOUT_FILENO};
};

// Everything that can be refused is refused here, before any port is opened.
int Provision::prepare(production::ProvisionSettings &settings)
{
    Changes changes;
    const QString error = readProfileFile(m_options.profile, changes);
    if (!error.isEmpty()) {
        complain(error);
        return kExitUsage;
    }
    settings.band = changes.band.isEmpty() ? m_options.band : changes.band;
    if (!m_options.localAddressFrom.isEmpty()) {
        Changes first;
        const QString refused =
            addChange(first, QStringLiteral("local-address"), m_options.localAddressFrom);
        if (!refused.isEmpty()) {
            complain(QStringLiteral("--local-address-from: ") + refused);
            return kExitUsage;
        }
        const quint64 address = first.fields[Field::LocalAddress].toULongLong(nullptr, 16);
        if (m_options.count > 0 && address + quint64(m_options.count) - 1 > kLastAddress) {
            complain(QStringLiteral("%1 units from local address %2 would pass FFFFFFFF")
                         .arg(m_options.count)
                         .arg(first.fields[Field::LocalAddress]));
            return kExitUsage;
        }
        settings.firstAddress = quint32(address);
    }
    const QString refused = checkChanges(changes, settings.band);
    if (!refused.isEmpty()) {
        complain(refused + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    settings.profileOver = [changes](const ConfigTexts &held) {
        ConfigTexts texts = held;
        applyChanges(texts, changes);
        return texts;
    };
    settings.count = m_options.count;
    settings.answerTimeoutMs = m_options.timeoutMs;
    if (!m_options.logFile.isEmpty()) {
        const QString failed = m_records.openLog(m_options.logFile);
        if (!failed.isEmpty()) {
            complain(QStringLiteral("cannot open the log: ") + failed);
            return kExitUsage;
        }
    }
    return choosePorts(settings);
}

int Provision::choosePorts(production::ProvisionSettings &settings)
{
    const QStringList given = m_options.ports.isEmpty() ? QStringList{QString()} : m_options.ports;
    ModuleEngine probe;
    for (const QString &port : given) {
        if (!m_options.ports.isEmpty()) {
            if (const QString refused = refusedPort(port); !refused.isEmpty()) {
                complain(refused);
                return kExitUsage;
            }
        }
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

// Plain lines on stderr: what each slot waits for and why a unit failed; with
// several slots each line says which.
void Provision::show(const SlotEvent &event) const
{
    QString text;
    switch (event.state) {
    case SlotState::Failed:
        text = QStringLiteral("unit failed: ") + event.detail;
        break;
    case SlotState::Waiting:
        if (m_options.quiet)
            return;
        text = event.detail;
        if (text.isEmpty())
            text = QStringLiteral("Waiting for a module on %1...")
                       .arg(event.device.contains(u'/') ? event.device
                                                        : QStringLiteral("port ") + event.device);
        break;
    case SlotState::AdapterMissing:
    case SlotState::RemoveUnit:
    case SlotState::Finished:
        if (m_options.quiet || event.detail.isEmpty())
            return;
        text = event.detail;
        break;
    case SlotState::Programming:
    case SlotState::Verifying:
    case SlotState::Passed:
    case SlotState::AlreadyProvisioned:
        return;
    }
    complain(m_options.ports.size() > 1 ? QStringLiteral("slot %1: %2").arg(event.slot).arg(text)
                                        : text);
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

int Provision::execute()
{
    production::ProvisionSettings settings;
    if (const int code = prepare(settings))
        return code;

    production::ProvisionRun run(settings, m_records);
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &run, [&run] { run.stop(); });
    QObject::connect(&run, &production::ProvisionRun::slotEvent, &run,
                     [this](const SlotEvent &event) { show(event); });
    QEventLoop loop;
    QObject::connect(&run, &production::ProvisionRun::finished, &loop, &QEventLoop::quit);
    run.start();
    loop.exec();

    switch (run.endReason()) {
    case EndReason::RecordFailed:
    case EndReason::PortUnusable:
        complain(run.endMessage());
        break;
    case EndReason::RangeUsedUp:
        complain(QStringLiteral("every local address up to FFFFFFFF has been given: the run "
                                "stopped before the next unit"));
        break;
    case EndReason::Stopped:
    case EndReason::CountReached:
    case EndReason::None:
        break;
    }
    if (!m_options.quiet) {
        const production::RunSummary summary = run.summary();
        QString text = summary.howEnded;
        if (summary.nextFree)
            text += QStringLiteral("; next free local address %1")
                        .arg(QStringLiteral("%1")
                                 .arg(*summary.nextFree, 8, 16, QLatin1Char('0'))
                                 .toUpper());
        complain(text);
    }
    return exitCode(run, stops.received());
}

} // namespace

int runProvision(const CliOptions &options)
{
    Provision provision(options);
    return provision.execute();
}

} // namespace korva::cli
