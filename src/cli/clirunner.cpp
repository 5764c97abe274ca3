#include "cli/clirunner.h"

#include "cli/ledgerverbs.h"
#include "cli/output.h"
#include "cli/provision.h"
#include "cli/stopsignals.h"
#include "cli/terminal.h"
#include "module/moduleengine.h"
#include "production/fieldvalues.h"
#include "production/portchoice.h"
#include "production/profile.h"
#include "serial/portmap.h"

#include <cstdio>
#include <unistd.h>

namespace korva::cli
{

namespace
{

using production::applyChanges;
using production::canonicalTexts;
using production::checkPortArgument;
using production::PortChoice;
using production::RunValues;
using production::withRawCodes;

// Quiet time between two operations (a retry, or a read and the Set after it),
// as long as Set leaves between its "---" and its read-back.
constexpr int kBetweenOperationsMs = 500;

// One run of a verb: the engine, the port and what goes to the terminal.
class Run
{
public:
    explicit Run(const CliOptions &options) : m_options(options) {}
    int execute();

private:
    int prepareValues();
    int confirmReset();
    int openPort();
    int runVerb();
    int readModule(ReadResult &result, bool given = false);
    int failedRead(const ReadResult &result);
    int readVerb();
    int verifyVerb();
    int writeVerb();
    int dryRunWithoutModule();
    // Ends the run at the next step; the first cause gives the exit code.
    void stopWith(int code);
    int stopped() const { return m_stopCode; }
    void note(const QString &text) const;
    Report reportOf(const QByteArray &block, const ConfigTexts &texts) const;
    // The report on stdout; in hex form the verdict and the dry run's lines go
    // to stderr, so stdout stays the block alone.
    int printReport(const Report &report) const;
    // Leaves the module in data mode, whatever ended the run.
    void finish();

    const CliOptions &m_options;
    ModuleEngine m_engine;
    RunValues m_values;
    PortChoice m_choice;
    QString m_device;
    QString m_lostReason;
    int m_stopCode = 0;
};

void Run::note(const QString &text) const
{
    if (!m_options.quiet)
        complain(text);
}

void Run::stopWith(int code)
{
    if (m_stopCode == 0)
        m_stopCode = code;
    m_engine.requestStop();
}

Report Run::reportOf(const QByteArray &block, const ConfigTexts &texts) const
{
    Report report;
    report.port = m_device;
    report.baud = m_choice.baud;
    report.band = m_values.band;
    report.block = block;
    report.texts = texts;
    return report;
}

int Run::printReport(const Report &report) const
{
    if (!writeResult(formatReport(report, m_options.format)))
        return kExitRecordFailed;
    if (m_options.format != Format::Hex)
        return kExitDone;
    QString lines;
    if (report.verification)
        lines += formatVerdict(*report.verification);
    if (report.dryRun && !m_options.quiet)
        lines += formatDryRun(report);
    return writeMessage(lines) ? kExitDone : kExitRecordFailed;
}

int Run::prepareValues()
{
    m_values = production::gatherValues(
        {m_options.profile, m_options.sets, m_options.band, m_options.bandGiven});
    if (!m_values.error.isEmpty()) {
        complain(m_values.error + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    for (const QString &text : std::as_const(m_values.notes))
        note(text);
    if (m_options.verb == Verb::ResetDefaults) {
        m_values.changes.fields[Field::DestinationAddress] = QStringLiteral("00000000");
        m_values.changes.fields[Field::LocalAddress] = QStringLiteral("00000000");
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
    QString where = m_choice.port;
    if (m_choice.byNumber) {
        const auto device = deviceForPort(m_choice.port.toInt());
        const auto *found = std::get_if<PortDevice>(&device);
        where = QStringLiteral("port %1").arg(m_choice.port) +
                (found ? QStringLiteral(" (%1)").arg(found->path) : QString());
    }
    if (!writeMessage(QStringLiteral("reset-defaults sets the destination address and the local "
                                     "address of the module on %1 to 00000000; the other fields "
                                     "keep the values the module holds.\nContinue? [y/N] ")
                          .arg(where)))
        return kExitRecordFailed;
    char answer[16] = {};
    const QString given =
        QString::fromLocal8Bit(std::fgets(answer, sizeof answer, stdin) ? answer : "").trimmed();
    if (given.compare(QLatin1String("y"), Qt::CaseInsensitive) != 0 &&
        given.compare(QLatin1String("yes"), Qt::CaseInsensitive) != 0) {
        complain(QStringLiteral("nothing was written"));
        return kExitDeclined;
    }
    return kExitDone;
}

int Run::openPort()
{
    const auto failure =
        m_choice.byNumber ? m_engine.openPort(m_choice.port) : m_engine.openDevice(m_choice.port);
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
    const QString used = QStringLiteral(" (%1)").arg(m_choice.describe(m_device));
    switch (result.outcome) {
    case ReadResult::Outcome::PortLost:
        complain(QStringLiteral("Error: ") +
                 (m_lostReason.isEmpty() ? QStringLiteral("the port was closed") : m_lostReason));
        return kExitPortLost;
    case ReadResult::Outcome::Stopped:
        return stopped();
    case ReadResult::Outcome::NoAnswer:
        complain(QStringLiteral("No Response from Modem. Check Comms Port & Baud rate") + used);
        return kExitNoAnswer;
    case ReadResult::Outcome::Answered:
        complain(QStringLiteral("a short answer: %1 of %2 bytes")
                     .arg(result.block.size())
                     .arg(kBlockSize) +
                 used);
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
        if (result.outcome == ReadResult::Outcome::Answered && result.block.size() == kBlockSize) {
            result.texts = withRawCodes(result.texts, result.block);
            return kExitDone;
        }
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
    return printReport(reportOf(result.block, result.texts));
}

int Run::verifyVerb()
{
    ReadResult result;
    if (const int code = readModule(result))
        return code;
    QList<Field> given;
    for (const auto &entry : m_values.changes.fields)
        given << entry.first;
    Report report = reportOf(result.block, result.texts);
    report.verification = Verification{
        QStringLiteral("expected"),
        differences(canonicalTexts(m_values.changes, m_values.band), result.texts, given)};
    if (const int code = printReport(report))
        return code;
    return report.verification->differences.isEmpty() ? kExitDone : kExitDifferent;
}

int Run::writeVerb()
{
    ReadResult current;
    if (const int code = readModule(current))
        return code;
    ConfigTexts texts = current.texts;
    applyChanges(texts, m_values.changes);
    for (Field field : {Field::TxPower, Field::RssiThreshold, Field::RfTxSpeed}) {
        const QString kept = fieldText(texts, field);
        if (!m_values.changes.fields.count(field) && rawCodeFromText(kept))
            note(QStringLiteral("the module holds %1 code %2, not in the list; it is written "
                                "back as it is")
                     .arg(fieldLabel(field), kept));
    }
    const EncodeResult encoded =
        encodePacket(texts, m_values.band, m_engine.channel(), CodeForms::ListOrRaw);
    if (encoded.failure) {
        complain(QStringLiteral("the configuration cannot be written: %1 (nothing was written)")
                     .arg(encoded.failure->text));
        return kExitUsage;
    }
    const ConfigTexts written = withRawCodes(
        decodeBlock(encoded.packet, m_values.band, encoded.channel).texts, encoded.packet);
    if (m_options.dryRun) {
        Report report = reportOf(encoded.packet, written);
        report.dryRun = true;
        QList<FieldChange> changes;
        for (Field field : allFields()) {
            const QString from = fieldText(current.texts, field);
            const QString to = fieldText(written, field);
            if (from != to)
                changes.append({field, from, to});
        }
        report.changes = changes;
        return printReport(report);
    }
    Pause gap;
    gap.wait(kBetweenOperationsMs);
    if (m_engine.stopRequested())
        return stopped();

    m_engine.setTextsSource([texts] { return texts; });
    WriteResult result = m_engine.writeConfiguration(m_options.timeoutMs);
    const bool lost = m_engine.portLost();
    if ((m_engine.stopRequested() || lost) && !result.packet.isEmpty())
        complain(
            QStringLiteral("the packet %1 was sent and not verified").arg(hexLine(result.packet)));
    if (m_engine.stopRequested())
        return stopped();
    if (lost) {
        result.readBack.outcome = ReadResult::Outcome::PortLost;
        return failedRead(result.readBack);
    }
    if (result.refused) {
        complain(result.refused->text + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    if (result.packet.isEmpty()) {
        complain(QStringLiteral("the device did not take the whole packet; it is not verified"));
        return kExitPortLost;
    }
    note(QStringLiteral("written: %1").arg(hexLine(result.packet)));
    if (const int code = readModule(result.readBack, true))
        return code;
    Report report = reportOf(result.readBack.block, result.readBack.texts);
    if (!m_options.noVerify)
        report.verification = Verification{
            QStringLiteral("written"), differences(written, result.readBack.texts, allFields())};
    if (const int code = printReport(report))
        return code;
    return report.verification && !report.verification->differences.isEmpty() ? kExitDifferent
                                                                              : kExitDone;
}

// Every value is given: the packet needs nothing from the module, and nothing is opened.
int Run::dryRunWithoutModule()
{
    ConfigTexts texts = placeholderTexts();
    applyChanges(texts, m_values.changes);
    const EncodeResult encoded = encodePacket(texts, m_values.band, {}, CodeForms::ListOrRaw);
    Report report =
        reportOf(encoded.packet, withRawCodes(decodeBlock(encoded.packet, m_values.band, {}).texts,
                                              encoded.packet));
    report.dryRun = true;
    return printReport(report);
}

void Run::finish()
{
    if (m_engine.port().portOpen() && m_engine.inCommandMode())
        m_engine.CloseATMode();
    m_engine.closePort();
}

int Run::runVerb()
{
    switch (m_options.verb) {
    case Verb::Read:
        return readVerb();
    case Verb::Verify:
        return verifyVerb();
    case Verb::Write:
    case Verb::ResetDefaults:
        return writeVerb();
    case Verb::Ports:
    case Verb::Provision:
    case Verb::Ledger:
        break;
    }
    return kExitUsage;
}

int Run::execute()
{
    if (m_options.verb == Verb::Ports)
        return writeResult(formatPorts(m_options.format)) ? kExitDone : kExitRecordFailed;
    if (const int code = prepareValues())
        return code;
    if (m_options.verb == Verb::Write && m_options.dryRun && m_values.changes.coversEveryField()) {
        const QString refused =
            m_options.port.isEmpty() ? QString() : checkPortArgument(m_options.port);
        if (!refused.isEmpty()) {
            complain(refused);
            return kExitUsage;
        }
        return dryRunWithoutModule();
    }
    const auto chosen = production::choosePort(m_options.port, m_options.baud, m_engine);
    if (const auto *refusal = std::get_if<QString>(&chosen)) {
        complain(*refusal);
        return kExitUsage;
    }
    m_choice = std::get<PortChoice>(chosen);
    if (m_options.verb == Verb::ResetDefaults) {
        if (const int code = confirmReset())
            return code;
    }

    // Installed only now: at the prompt Ctrl-C and Ctrl-Z keep their usual effect.
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &m_engine,
                     [this](int signalNumber) { stopWith(128 + signalNumber); });
    setOutputFailureHandler([this] { stopWith(kExitRecordFailed); });
    QObject::connect(&m_engine, &ModuleEngine::portFailed, &m_engine,
                     [this](const PortFailure &failure) { m_lostReason = failure.description; });
    m_engine.setBandSource([this] { return m_values.band; });
    m_engine.setCodeForms(CodeForms::ListOrRaw);

    int code = openPort();
    if (code == kExitDone)
        code = runVerb();
    finish();
    setOutputFailureHandler({});
    // A code that tells of a failure before the output keeps its meaning.
    const bool outcomeOnly = code == kExitDone || code == kExitDifferent;
    if (m_stopCode != 0 && code == kExitDone)
        code = m_stopCode;
    if (!outputFailure().isEmpty() && outcomeOnly)
        code = kExitRecordFailed;
    if (resultLost())
        complain(QStringLiteral("the result could not be written whole to %1; the module is back "
                                "in data mode")
                     .arg(outputFailure()));
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
