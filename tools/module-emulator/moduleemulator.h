#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace korva::emu {

// One byte on the wire, as seen by the emulated module.
struct WireByte {
    enum class Direction { ToModule, FromModule };
    qint64 usec = 0; // microseconds on a monotonic clock, from the emulator's start
    Direction direction = Direction::ToModule;
    quint8 value = 0;
};

// A run of bytes in one direction with no gap of the burst silence inside it.
struct WireBurst {
    WireByte::Direction direction = WireByte::Direction::ToModule;
    qint64 firstUsec = 0;
    qint64 lastUsec = 0;
    QByteArray bytes;
};

// Emulates the radio module on the master side of a pseudo-terminal, on a
// thread of its own. In data mode "+++" enters command mode and the module
// answers with its 15-byte configuration; in command mode a 15-byte burst
// replaces the configuration, "+++" answers again and "---" returns to data mode.
class ModuleEmulator
{
public:
    ModuleEmulator();
    ~ModuleEmulator();
    ModuleEmulator(const ModuleEmulator &) = delete;
    ModuleEmulator &operator=(const ModuleEmulator &) = delete;

    bool isOpen() const;
    QString errorString() const;
    QString devicePath() const; // the slave side, e.g. "/dev/pts/4"

    void setConfig(const QByteArray &block);
    QByteArray config() const;

    void setSilent(bool silent);
    void setAnswerDelayMs(int ms);         // wait before answering "+++"
    void setAnswerLength(int bytes);       // send only the first N bytes (-1: all)
    void setSplit(int afterBytes, int gapMs); // pause gapMs after the first afterBytes (0: off)
    void setAnswerBytes(const QByteArray &bytes); // answer these instead of the config (empty: off)
    void setRequiredBaud(int baud);        // 0: any; otherwise a mismatched line is ignored
    void setHangUpAfterCommandMs(int ms);  // hang up ms after the next "+++" (-1: off)
    void hangUp();                         // close the pty now; the tool sees the line drop

    bool inCommandMode() const;
    int lineBaud() const; // rate the tool set on the line, 0 when unknown

    QList<WireByte> log() const;
    QList<WireBurst> bursts(int silenceMs = 20) const; // the log, grouped
    QByteArray receivedBytes() const; // everything the tool wrote, in order
    QByteArray radioBytes() const;    // bytes that arrived in data mode, other than "+++"
    void clearLog();

    // Writes every logged byte as "seconds.micro > 2B" lines (">" to the module).
    static QString formatLog(const QList<WireByte> &log);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace korva::emu
