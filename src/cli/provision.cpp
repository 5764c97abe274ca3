#include "cli/provision.h"

#include "cli/fieldvalues.h"
#include "cli/portchoice.h"
#include "cli/profile.h"
#include "cli/stopsignals.h"
#include "module/moduleengine.h"
#include "production/provisionrun.h"
#include "production/recordsink.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFileInfo>
#include <QSysInfo>

#include <cstdio>
#include <pwd.h>
#include <unistd.h>

namespace korva::cli
{

namespace
{

using production::EndReason;
using production::SlotEvent;
using production::SlotState;

constexpr int kHighestPortNumber = 15;

void complain(const QString &text)
{
    const QByteArray bytes = (QStringLiteral("korva-cli: ") + text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString loginName()
{
    if (const passwd *user = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return qEnvironmentVariable("USER");
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
    int chooseRange(production::ProvisionSettings &settings);
    int choosePorts(production::ProvisionSettings &settings);
    void describeRun(production::ProvisionSettings &settings, const QByteArray &profile) const;
    void show(const SlotEvent &event) const;
    int exitCode(const production::ProvisionRun &run, int signalNumber) const;

    const CliOptions &m_options;
    production::RecordSink m_records{STDOUT_FILENO};
};

// Everything that can be refused is refused here, before any port is opened.
int Provision::prepare(production::ProvisionSettings &settings)
{
    Changes changes;
    QByteArray profile;
    const QString error = readProfileFile(m_options.profile, changes, &profile);
    if (!error.isEmpty()) {
        complain(error);
        return kExitUsage;
    }
    settings.band = changes.band.isEmpty() ? m_options.band : changes.band;
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
    describeRun(settings, profile);
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
    case SlotState::AlreadyProvisioned:
    case SlotState::RemoveUnit:
    case SlotState::Finished:
        if (m_options.quiet || event.detail.isEmpty())
            return;
        text = event.detail;
        break;
    case SlotState::Programming:
    case SlotState::Verifying:
    case SlotState::Passed:
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

    complain(QStringLiteral("ledger: %1").arg(settings.ledger.display()));
    production::ProvisionRun run(settings, m_records);
    if (const QString refused = run.start(); !refused.isEmpty()) {
        complain(refused);
        return run.endReason() == EndReason::RangeUsedUp ? kExitRangeUsedUp : kExitRecordFailed;
    }
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &run, [&run] { run.stop(); });
    QObject::connect(&run, &production::ProvisionRun::slotEvent, &run,
                     [this](const SlotEvent &event) { show(event); });
    QEventLoop loop;
    QObject::connect(&run, &production::ProvisionRun::finished, &loop, &QEventLoop::quit);
    loop.exec();

    if (run.endReason() != EndReason::Stopped && run.endReason() != EndReason::CountReached)
        complain(run.endMessage());
    // What resuming needs: how far the run got and where the range goes on.
    const production::RunSummary summary = run.summary();
    QString text = summary.howEnded;
    if (summary.nextFree)
        text += QStringLiteral("; next free address %1")
                    .arg(production::addressText(*summary.nextFree));
    complain(text);
    return exitCode(run, stops.received());
}

} // namespace

int runProvision(const CliOptions &options)
{
    Provision provision(options);
    return provision.execute();
}

} // namespace korva::cli
