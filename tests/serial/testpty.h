#pragma once

#include <QByteArray>
#include <QString>

namespace korva::test
{

// A raw pseudo-terminal: the port under test opens the slave path, the test
// plays the device on the master side with plain reads and writes.
class TestPty
{
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty &) = delete;
    TestPty &operator=(const TestPty &) = delete;

    bool isOpen() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }

    bool write(const QByteArray &bytes);
    // Reads from the master until count bytes came or timeoutMs passed without any.
    QByteArray read(int count, int timeoutMs);
    // Closing the master hangs up the line for whoever holds the slave.
    void closeMaster();
    // The output speed set on the line, in bits per second; -1 if it cannot be read.
    int lineBaud() const;

private:
    int m_master = -1;
    int m_slave = -1; // kept open so the line settings stay readable
    QString m_slavePath;
};

// Reads the output speed of a tty through the kernel's arbitrary-rate interface.
int ttyOutputBaud(int fd);

} // namespace korva::test
