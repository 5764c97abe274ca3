#include "app/closesignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace korva
{

namespace
{

constexpr std::array kCloseSignals = {SIGTERM, SIGHUP, SIGINT};

int g_closePipe[2] = {-1, -1};

extern "C" void onCloseSignal(int signalNumber)
{
    const int saved = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_closePipe[1], &byte, 1);
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

} // namespace

CloseSignals::CloseSignals(QObject *parent) : QObject(parent)
{
    if (::pipe2(g_closePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_closePipe[0], QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &CloseSignals::onReadable);
    for (int signalNumber : kCloseSignals)
        handle(signalNumber, onCloseSignal);
}

CloseSignals::~CloseSignals()
{
    for (int signalNumber : kCloseSignals)
        handle(signalNumber, SIG_DFL);
    delete m_notifier;
    for (int &fd : g_closePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void CloseSignals::watch()
{
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void CloseSignals::onReadable()
{
    char byte = 0;
    while (::read(g_closePipe[0], &byte, 1) == 1)
        emit closeRequested(byte);
}

} // namespace korva
