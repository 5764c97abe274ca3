#pragma once

#include <QByteArray>
#include <QString>

// The tool's end of the emulator's line, driven over a raw file descriptor.
class PtyClient
{
public:
    explicit PtyClient(const QString &path, int baud = 38400);
    ~PtyClient();
    PtyClient(const PtyClient &) = delete;
    PtyClient &operator=(const PtyClient &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool write(const QByteArray &bytes);
    // Reads until at least count bytes have arrived or timeoutMs has passed.
    QByteArray readAtLeast(qsizetype count, int timeoutMs);
    // Reads whatever arrives within ms.
    QByteArray readFor(int ms);
    // True once the line reports a hang-up (POLLHUP, end of file or EIO).
    bool waitForHangUp(int timeoutMs);
    void close();

private:
    int m_fd = -1;
};

// Sets any rate, also a non-standard one, through the kernel's termios2.
bool setCustomLineRate(int fd, int baud);
