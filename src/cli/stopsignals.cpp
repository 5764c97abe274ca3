#include "cli/stopsignals.h"

#include "module/commandmodegate.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace korva::cli
{

namespace
{

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int g_pipe[2] = {-1, -1};

extern "C" void onSignal(int signalNumber)
{
    const int saved = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void handle(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, nullptr);
}

// A signal the program was started with ignored stays ignored: `nohup` and a
// shell's background job ask for exactly that.
bool ignoredFromStart(int signalNumber)
{
    struct sigaction current = {};
    return ::sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// Stops the process as SIGTSTP does by default, so the shell's job control sees
// the usual stop; after SIGCONT the run goes on and Ctrl-Z is held again.
void suspendProcess()
{
    handle(SIGTSTP, SIG_DFL);
    ::raise(SIGTSTP);
    if (g_pipe[1] >= 0)
        handle(SIGTSTP, onSignal);
}

} // namespace

void StopSignals::ignoreBrokenOutput()
{
    handle(SIGPIPE, SIG_IGN);
    handle(SIGXFSZ, SIG_IGN);
}

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    ignoreBrokenOutput();
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::onReadable);
    for (int signalNumber : kStopSignals) {
        if (!ignoredFromStart(signalNumber)) {
            handle(signalNumber, onSignal);
            m_handled.append(signalNumber);
        }
    }
    if (!ignoredFromStart(SIGTSTP)) {
        handle(SIGTSTP, onSignal);
        m_handled.append(SIGTSTP);
    }
}

StopSignals::~StopSignals()
{
    for (int signalNumber : std::as_const(m_handled))
        handle(signalNumber, SIG_DFL);
    delete m_notifier;
    for (int &fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::onReadable()
{
    char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) {
        if (byte == SIGTSTP) {
            CommandModeGate::suspendWhenIdle(suspendProcess);
            continue;
        }
        if (m_received == 0)
            m_received = byte;
        emit stopRequested(byte);
    }
}

} // namespace korva::cli
