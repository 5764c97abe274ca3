#include "testpty.h"

#include <QElapsedTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace korva::test
{

namespace
{

void makeRaw(int fd)
{
    termios attributes{};
    if (::tcgetattr(fd, &attributes) == 0) {
        ::cfmakeraw(&attributes);
        ::tcsetattr(fd, TCSANOW, &attributes);
    }
}

} // namespace

TestPty::TestPty()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    makeRaw(m_master);
    makeRaw(m_slave);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
}

TestPty::~TestPty()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool TestPty::write(const QByteArray &bytes)
{
    return m_master >= 0 && ::write(m_master, bytes.constData(), bytes.size()) == bytes.size();
}

QByteArray TestPty::read(int count, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer quiet;
    quiet.start();
    while (m_master >= 0 && bytes.size() < count && quiet.elapsed() < timeoutMs) {
        pollfd readable{m_master, POLLIN, 0};
        if (::poll(&readable, 1, int(timeoutMs - quiet.elapsed())) <= 0)
            break;
        char chunk[256];
        const ssize_t got = ::read(m_master, chunk, sizeof chunk);
        if (got < 0 && errno == EAGAIN)
            continue;
        if (got <= 0)
            break;
        bytes.append(chunk, got);
        quiet.restart();
    }
    return bytes;
}

void TestPty::closeMaster()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

int TestPty::lineBaud() const
{
    return m_slave >= 0 ? ttyOutputBaud(m_slave) : -1;
}

} // namespace korva::test
