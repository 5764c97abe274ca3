#include "ptyclient.h"

#include <QElapsedTimer>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace
{

speed_t standardSpeed(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

int remainingMs(const QElapsedTimer &timer, int timeoutMs)
{
    return std::max(0, timeoutMs - static_cast<int>(timer.elapsed()));
}

} // namespace

PtyClient::PtyClient(const QString &path, int baud)
{
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return;
    termios attributes{};
    bool ok = ::tcgetattr(m_fd, &attributes) == 0;
    ::cfmakeraw(&attributes);
    const speed_t speed = standardSpeed(baud);
    if (speed != B0)
        ok = ok && ::cfsetspeed(&attributes, speed) == 0;
    ok = ok && ::tcsetattr(m_fd, TCSANOW, &attributes) == 0;
    if (speed == B0)
        ok = ok && setCustomLineRate(m_fd, baud);
    if (!ok)
        close();
}

PtyClient::~PtyClient()
{
    close();
}

bool PtyClient::write(const QByteArray &bytes)
{
    return m_fd >= 0 && ::write(m_fd, bytes.constData(), bytes.size()) == bytes.size();
}

QByteArray PtyClient::readAtLeast(qsizetype count, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && bytes.size() < count) {
        pollfd fd{m_fd, POLLIN, 0};
        if (::poll(&fd, 1, remainingMs(timer, timeoutMs)) <= 0 || !(fd.revents & POLLIN))
            break;
        char buffer[256];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes;
}

QByteArray PtyClient::readFor(int ms)
{
    QByteArray bytes;
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && remainingMs(timer, ms) > 0) {
        const QByteArray more = readAtLeast(1, remainingMs(timer, ms));
        if (more.isEmpty())
            break;
        bytes += more;
    }
    return bytes;
}

bool PtyClient::waitForHangUp(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0) {
        pollfd fd{m_fd, POLLIN, 0};
        const int ready = ::poll(&fd, 1, remainingMs(timer, timeoutMs));
        if (ready <= 0)
            return false;
        if (fd.revents & (POLLHUP | POLLERR))
            return true;
        char buffer[256];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno == EIO))
            return true;
    }
    return false;
}

void PtyClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
