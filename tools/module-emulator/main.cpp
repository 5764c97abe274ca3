#include "emulatoroptions.h"
#include "moduleemulator.h"
#include "portregistration.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using namespace korva::emu;

namespace
{

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop picks the byte up.
void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool catchStopSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    // A log reader that goes away must not kill the program before it unregisters.
    return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray line = (text + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korva-module-emulator"));

    const ParsedArguments parsed = parseEmulatorArguments(QCoreApplication::arguments());
    if (parsed.helpRequested) {
        printLine(stdout, parsed.helpText);
        return 0;
    }
    if (!parsed.error.isEmpty()) {
        printLine(stderr, QStringLiteral("korva-module-emulator: %1").arg(parsed.error));
        return 2;
    }
    if (!catchStopSignals()) {
        printLine(stderr, QStringLiteral("korva-module-emulator: cannot catch signals: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return 1;
    }
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::exit(0);
    });

    ModuleEmulator emulator;
    if (!emulator.isOpen()) {
        printLine(stderr, QStringLiteral("korva-module-emulator: %1").arg(emulator.errorString()));
        return 1;
    }
    applyOptions(parsed.options, emulator);
    const QString &link = parsed.options.link;
    if (!link.isEmpty() && !QFileInfo(link).isSymLink()) {
        printLine(stderr, QStringLiteral("korva-module-emulator: %1").arg(emulator.errorString()));
        return 1;
    }
    // A unit taken off the line comes back as the next one: no reason to stop then.
    if (parsed.options.swapAfterMs < 0) {
        emulator.setHangUpObserver([&app] {
            QMetaObject::invokeMethod(
                &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        });
    }
    // With a link, the link is the line's name for the tool: it outlives every unit.
    const QString line = link.isEmpty() ? emulator.devicePath() : link;

    const PortRegistration registration(parsed.options.port, line);
    if (parsed.options.port > 0 && !registration.isRegistered()) {
        printLine(stderr,
                  QStringLiteral("korva-module-emulator: %1").arg(registration.errorString()));
        return 1;
    }
    // Bytes can only come once the path is out, so the log cannot precede it.
    if (parsed.options.log)
        emulator.setByteObserver(
            [](const WireByte &byte) { printLine(stdout, ModuleEmulator::formatByte(byte)); });
    printLine(stdout, line);
    return app.exec();
}
