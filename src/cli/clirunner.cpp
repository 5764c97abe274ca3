#include "cli/clirunner.h"

#include "cli/fieldvalues.h"
#include "cli/ledgerverbs.h"
#include "cli/output.h"
#include "cli/portchoice.h"
#include "cli/profile.h"
#include "cli/provision.h"
#include "cli/stopsignals.h"
#include "module/moduleengine.h"
#include "serial/linesettings.h"

#include <cstdio>
#include <unistd.h>

namespace korva::cli
{

namespace
{

// Quiet time between two operations (a retry, or a read and the Set after it),
// as long as Set leaves between its "---" and its read-back.
constexpr int kBetweenOperationsMs = 500;

void print(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void complain(const QString &text)
{
    print(stderr, QStringLiteral("korva-cli: ") + text + u'\n');
}

// One run of a verb: the engine, the port and what goes to the terminal.
class Run
{
public:
    explicit Run(const CliOptions &options) : m_options(options) {}
    int execute();

private:
    int prepareChanges();
    int confirmReset();
    int openPort();
    int readModule(ReadResult &result, bool given = false);
    int failedRead(const ReadResult &result);
    int readVerb();
    int verifyVerb();
    int writeVerb();
    int stopped() const { return 128 + m_signals->received(); }
    void note(const QString &text) const;
    void printReport(const QByteArray &block, const ConfigTexts &texts) const;
    // Leaves the module in data mode, whatever ended the run.
    void finish();

    const CliOptions &m_options;
    ModuleEngine m_engine;
    StopSignals *m_signals = nullptr;
    Changes m_changes;
    QString m_band;
    int m_baud = 0;
    QString m_device;
    QString m_lostReason;
};

void Run::note(const QString &text) const
{
    if (!m_options.quiet)
        complain(text);
}

void Run::printReport(const QByteArray &block, const ConfigTexts &texts) const
{
    print(stdout, formatReport({m_device, m_baud, m_band, block, texts}, m_options.format));
}

int Run::prepareChanges()
{
    if (!m_options.profile.isEmpty()) {
        const QString error = readProfileFile(m_options.profile, m_changes);
        if (!error.isEmpty()) {
            complain(error);
            return kExitUsage;
        }
    }
    for (const QString &assignment : m_options.sets) {
        const QString error = addAssignment(m_changes, assignment);
        if (!error.isEmpty()) {
            complain(error);
            return kExitUsage;
        }
    }
    if (m_options.verb == Verb::ResetDefaults) {
        m_changes.fields[Field::DestinationAddress] = QStringLiteral("00000000");
        m_changes.fields[Field::LocalAddress] = QStringLiteral("00000000");
    }
    m_band = m_changes.band.isEmpty() ? m_options.band : m_changes.band;
    const QString refused = checkChanges(m_changes, m_band);
    if (!refused.isEmpty()) {
        complain(refused + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    return kExitDone;
}

int Run::confirmReset()
{
    if (m_options.yes)
        return kExitDone;
    if (!::isatty(STDIN_FILENO)) {
        complain(QStringLiteral("reset-defaults asks before it writes, and stdin is no "
                                "terminal: give --yes"));
        return kExitUsage;
    }
    print(stderr,
          QStringLiteral("This will reset the unit to Factory defaults.\nContinue? [y/N] "));
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y')) {
        complain(QStringLiteral("nothing was written"));
        return kExitUsage;
    }
    return kExitDone;
}

int Run::openPort()
{
    const auto chosen = choosePort(m_options, m_engine);
    if (const auto *refusal = std::get_if<QString>(&chosen)) {
        complain(*refusal);
        return kExitUsage;
    }
    const PortChoice &choice = std::get<PortChoice>(chosen);
    m_baud = choice.baud;
    const auto failure =
        choice.byNumber ? m_engine.openPort(choice.port) : m_engine.openDevice(choice.port);
    if (failure) {
        complain(
            failure->kind == PortFailure::Kind::InvalidPort
                ? QStringLiteral("Please select a valid comms port (%1)").arg(failure->description)
                : QStringLiteral("Error: ") + failure->description);
        return kExitNoPort;
    }
    m_device = m_engine.port().devicePath();
    return kExitDone;
}

int Run::failedRead(const ReadResult &result)
{
    switch (result.outcome) {
    case ReadResult::Outcome::PortLost:
        complain(QStringLiteral("Error: ") +
                 (m_lostReason.isEmpty() ? QStringLiteral("the port was closed") : m_lostReason));
        return kExitPortLost;
    case ReadResult::Outcome::Stopped:
        return stopped();
    case ReadResult::Outcome::NoAnswer:
        complain(QStringLiteral("No Response from Modem. Check Comms Port & Baud rate"));
        return kExitNoAnswer;
    case ReadResult::Outcome::Answered:
        complain(QStringLiteral("a short answer: %1 of %2 bytes")
                     .arg(result.block.size())
                     .arg(kBlockSize));
        return kExitNoAnswer;
    }
    return kExitNoAnswer;
}

// Reads until a whole block came or the retries are used up. `given` is a
// result already at hand (a Set's read-back), which counts as the first read.
int Run::readModule(ReadResult &result, bool given)
{
    for (int attempt = 0;; ++attempt) {
        if (m_engine.stopRequested())
            return stopped();
        if (attempt > 0 || !given)
            result = m_engine.readConfiguration(m_options.timeoutMs);
        if (result.outcome == ReadResult::Outcome::Answered && result.block.size() == kBlockSize)
            return kExitDone;
        if (m_engine.stopRequested())
            return stopped();
        if (m_engine.portLost())
            result.outcome = ReadResult::Outcome::PortLost;
        if (result.outcome != ReadResult::Outcome::NoAnswer &&
            result.outcome != ReadResult::Outcome::Answered)
            return failedRead(result);
        if (attempt >= m_options.retries)
            return failedRead(result);
        note(result.outcome == ReadResult::Outcome::NoAnswer
                 ? QStringLiteral("no answer; trying again")
                 : QStringLiteral("a short answer; trying again"));
        Pause gap;
        gap.wait(kBetweenOperationsMs);
    }
}

int Run::readVerb()
{
    ReadResult result;
    if (const int code = readModule(result))
        return code;
    printReport(result.block, result.texts);
    return kExitDone;
}

int Run::verifyVerb()
{
    ReadResult result;
    if (const int code = readModule(result))
        return code;
    QList<Field> given;
    for (const auto &entry : m_changes.fields)
        given << entry.first;
    const auto found = differences(canonicalTexts(m_changes, m_band), result.texts, given);
    printReport(result.block, result.texts);
    print(stderr, formatDifferences(found, QStringLiteral("expected")));
    return found.isEmpty() ? kExitDone : kExitDifferent;
}

int Run::writeVerb()
{
    ReadResult current;
    if (const int code = readModule(current))
        return code;
    ConfigTexts texts = current.texts;
    applyChanges(texts, m_changes);
    const EncodeResult encoded = encodePacket(texts, m_band, m_engine.channel());
    if (encoded.failure) {
        complain(QStringLiteral("the configuration cannot be written: %1 (nothing was written)")
                     .arg(encoded.failure->text));
        return kExitUsage;
    }
    const ConfigTexts written = decodeBlock(encoded.packet, m_band, encoded.channel).texts;
    if (m_options.dryRun) {
        printReport(encoded.packet, written);
        return kExitDone;
    }
    Pause gap;
    gap.wait(kBetweenOperationsMs);
    if (m_engine.stopRequested())
        return stopped();

    m_engine.setTextsSource([texts] { return texts; });
    WriteResult result = m_engine.writeConfiguration(m_options.timeoutMs);
    if (m_engine.stopRequested())
        return stopped();
    if (m_engine.portLost()) {
        result.readBack.outcome = ReadResult::Outcome::PortLost;
        return failedRead(result.readBack);
    }
    if (result.refused) {
        complain(result.refused->text + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    if (result.packet.isEmpty())
        return failedRead(result.readBack);
    note(
        QStringLiteral("written: %1").arg(QString::fromLatin1(result.packet.toHex(' ').toUpper())));
    if (const int code = readModule(result.readBack, true))
        return code;
    printReport(result.readBack.block, result.readBack.texts);
    if (m_options.noVerify)
        return kExitDone;
    const auto found = differences(written, result.readBack.texts, allFields());
    print(stderr, formatDifferences(found, QStringLiteral("written")));
    return found.isEmpty() ? kExitDone : kExitDifferent;
}

void Run::finish()
{
    if (m_engine.port().portOpen() && m_engine.inCommandMode())
        m_engine.CloseATMode();
    m_engine.closePort();
}

int Run::execute()
{
    if (m_options.verb == Verb::Ports) {
        print(stdout, formatPorts(m_options.format));
        return kExitDone;
    }
    if (const int code = prepareChanges())
        return code;
    if (m_options.verb == Verb::ResetDefaults) {
        if (const int code = confirmReset())
            return code;
    }
    if (m_options.verb == Verb::Write && m_options.dryRun && m_changes.coversEveryField()) {
        // Every value is given: the packet needs nothing from the module.
        ConfigTexts texts = placeholderTexts();
        applyChanges(texts, m_changes);
        const EncodeResult encoded = encodePacket(texts, m_band, {});
        printReport(encoded.packet, decodeBlock(encoded.packet, m_band, {}).texts);
        return kExitDone;
    }

    StopSignals stops;
    m_signals = &stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &m_engine,
                     [this] { m_engine.requestStop(); });
    QObject::connect(&m_engine, &ModuleEngine::portFailed, &m_engine,
                     [this](const PortFailure &failure) { m_lostReason = failure.description; });
    m_engine.setBandSource([this] { return m_band; });

    int code = openPort();
    if (code == kExitDone) {
        switch (m_options.verb) {
        case Verb::Read:
            code = readVerb();
            break;
        case Verb::Verify:
            code = verifyVerb();
            break;
        case Verb::Write:
        case Verb::ResetDefaults:
            code = writeVerb();
            break;
        case Verb::Ports:
        case Verb::Provision:
        case Verb::Ledger:
            break;
        }
    }
    finish();
    if (stops.received() != 0 && code == kExitDone)
        code = stopped();
    return code;
}

} // namespace

int runCli(const CliOptions &options)
{
    if (options.verb == Verb::Provision)
        return runProvision(options);
    if (options.verb == Verb::Ledger)
        return runLedgerVerb(options);
    Run run(options);
    return run.execute();
}

} // namespace korva::cli
