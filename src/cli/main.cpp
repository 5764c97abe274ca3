#include "cli/clirunner.h"
#include "cli/commandline.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace
{

// Everything Qt logs (the wire trace among it) goes to stderr as plain lines,
// never to the journal, so stdout stays the program's output alone.
void logToStderr(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = message.toUtf8();
    if (context.category && qstrcmp(context.category, "default") != 0)
        std::fprintf(stderr, "%s: %s\n", context.category, text.constData());
    else
        std::fprintf(stderr, "%s\n", text.constData());
}

void print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korva-cli"));
    qInstallMessageHandler(logToStderr);

    using namespace korva::cli;
    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments().mid(1));
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        print(stdout, helpText());
        return kExitDone;
    case ParsedCommandLine::Action::Version:
        print(stdout, versionText());
        return kExitDone;
    case ParsedCommandLine::Action::Error:
        print(stderr, QStringLiteral("korva-cli: %1\nTry 'korva-cli --help'.\n").arg(parsed.error));
        return kExitUsage;
    case ParsedCommandLine::Action::Run:
        break;
    }
    if (parsed.options.trace)
        QLoggingCategory::setFilterRules(QStringLiteral("korva.wire.debug=true"));
    return runCli(parsed.options);
}
