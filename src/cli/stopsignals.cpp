#include "cli/stopsignals.h"

#include "module/commandmodegate.h"

#include <csignal>

namespace korva::cli
{

void StopSignals::ignoreBrokenOutput()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

StopSignals::StopSignals(QObject *parent)
    : QObject(parent),
      m_pipe({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}, SignalPipe::WhenIgnored::KeepIgnored)
{
    ignoreBrokenOutput();
    connect(&m_pipe, &SignalPipe::received, this, &StopSignals::onSignal);
    m_pipe.watch();
}

void StopSignals::onSignal(int signalNumber)
{
    if (signalNumber == SIGTSTP) {
        // Stops the process as SIGTSTP does by default, so the shell's job
        // control sees the usual stop; after SIGCONT the run goes on and
        // Ctrl-Z is held again.
        CommandModeGate::suspendWhenIdle([] { SignalPipe::raiseByDefault(SIGTSTP); });
        return;
    }
    if (m_received == 0)
        m_received = signalNumber;
    ++m_count;
    emit stopRequested(signalNumber);
}

} // namespace korva::cli
