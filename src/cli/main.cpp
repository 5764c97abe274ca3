#include "cli/clirunner.h"
#include "cli/commandline.h"
#include "cli/stopsignals.h"
#include "cli/terminal.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace
{

// Everything Qt logs (the wire trace among it) goes to stderr as plain lines,
// never to the journal, so stdout stays the program's output alone. A line that
// cannot be written whole stops the run as a lost result does.
void logToStderr(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "default") != 0)
        korva::cli::writeMessage(QString::fromLatin1(context.category) + QStringLiteral(": ") +
                                 message + u'\n');
    else
        korva::cli::writeMessage(message + u'\n');
}

} // namespace

int main(int argc, char *argv[])
{
    korva::cli::StopSignals::ignoreBrokenOutput();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korva-cli"));
    qInstallMessageHandler(logToStderr);

    using namespace korva::cli;
    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments().mid(1));
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        return writeResult(helpText()) ? kExitDone : kExitRecordFailed;
    case ParsedCommandLine::Action::Version:
        return writeResult(versionText()) ? kExitDone : kExitRecordFailed;
    case ParsedCommandLine::Action::Error:
        complain(parsed.error + QStringLiteral("\nTry 'korva-cli --help'."));
        return kExitUsage;
    case ParsedCommandLine::Action::Run:
        break;
    }
    if (parsed.options.trace)
        QLoggingCategory::setFilterRules(QStringLiteral("korva.wire.debug=true"));
    return runCli(parsed.options);
}
