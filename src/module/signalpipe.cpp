#include "module/signalpipe.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace korva
{

namespace
{

struct PipeEnds {
    int read = -1;
    int write = -1;
};

// Made on first use and never closed.
PipeEnds processPipe()
{
    static const PipeEnds ends = [] {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return PipeEnds{};
        return PipeEnds{fds[0], fds[1]};
    }();
    return ends;
}

// The handler's copy of the write end, set before any handler is installed.
std::atomic<int> g_writeEnd = -1;
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

extern "C" void writeSignalNumber(int signalNumber)
{
    const int saved = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd.load(), &byte, 1);
    errno = saved;
}

void setAction(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, nullptr);
}

bool ignoredNow(int signalNumber)
{
    struct sigaction current = {};
    return ::sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

} // namespace

SignalPipe::SignalPipe(const QList<int> &signalNumbers, WhenIgnored whenIgnored, QObject *parent)
    : QObject(parent)
{
    const PipeEnds ends = processPipe();
    if (ends.read < 0)
        return;
    // What an earlier SignalPipe left unread was meant for it.
    char stale = 0;
    while (::read(ends.read, &stale, 1) == 1) {
    }
    g_writeEnd.store(ends.write);
    m_notifier = new QSocketNotifier(ends.read, QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalPipe::onReadable);
    for (int signalNumber : signalNumbers) {
        if (whenIgnored == WhenIgnored::KeepIgnored && ignoredNow(signalNumber))
            continue;
        setAction(signalNumber, writeSignalNumber);
        m_handled.append(signalNumber);
    }
}

SignalPipe::~SignalPipe()
{
    for (int signalNumber : std::as_const(m_handled))
        setAction(signalNumber, SIG_DFL);
}

void SignalPipe::watch()
{
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void SignalPipe::raiseByDefault(int signalNumber)
{
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    struct sigaction previous = {};
    ::sigaction(signalNumber, &byDefault, &previous);
    ::raise(signalNumber);
    ::sigaction(signalNumber, &previous, nullptr);
}

void SignalPipe::onReadable()
{
    char byte = 0;
    while (::read(processPipe().read, &byte, 1) == 1)
        emit received(byte);
}

} // namespace korva
