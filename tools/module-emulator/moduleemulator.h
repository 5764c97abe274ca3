#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace korva::emu
{

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

// How the module answers, and whether it drops the line.
struct ModuleBehaviour {
    bool silent = false;   // never answers
    int answerDelayMs = 0; // wait before answering "+++"
    int answerLength = -1; // send only the first N bytes (-1: all)
    int splitAfter = 0;    // pause splitGapMs after the first splitAfter bytes (0: off)
    int splitGapMs = 0;
    QByteArray answerBytes;    // answer these instead of the configuration (empty: off)
    int requiredBaud = 0;      // 0: any; otherwise a mismatched line is ignored
    int hangUpAfterMs = -1;    // hang up this long after the next "+++" (-1: off)
    bool ignorePacket = false; // a written configuration is logged but not taken
    QList<int> keptBytes;      // positions a written configuration leaves at their old value
};

// Emulates the radio module on the master side of a pseudo-terminal, on a
// thread of its own. In data mode "+++" enters command mode and the module
// answers with its 15-byte configuration; in command mode a 15-byte burst
// replaces the configuration, "+++" answers again and "---" returns to data mode.
class ModuleEmulator
{
public:
    static constexpr int kConfigSize = 15;
    static const QByteArray kDefaultConfig; // 7F 7F 7F 7F 01 02 03 04 06 20 00 1E 1E 00 23

    ModuleEmulator();
    ~ModuleEmulator();
    ModuleEmulator(const ModuleEmulator &) = delete;
    ModuleEmulator &operator=(const ModuleEmulator &) = delete;

    bool isOpen() const;
    QString errorString() const;
    QString devicePath() const; // the slave side, e.g. "/dev/pts/4"

    bool setConfig(const QByteArray &block); // false (and unchanged) unless 15 bytes
    QByteArray config() const;

    void setBehaviour(const ModuleBehaviour &behaviour);
    void setSilent(bool silent);
    void setAnswerDelayMs(int ms);                // wait before answering "+++"
    void setAnswerLength(int bytes);              // send only the first N bytes (-1: all)
    void setSplit(int afterBytes, int gapMs);     // pause gapMs after the first afterBytes (0: off)
    void setAnswerBytes(const QByteArray &bytes); // answer these instead of the config (empty: off)
    void setRequiredBaud(int baud);               // 0: any; otherwise a mismatched line is ignored
    void setHangUpAfterCommandMs(int ms);         // hang up ms after the next "+++" (-1: off)
    void setIgnorePacket(bool ignore);            // keep the configuration whatever is written
    void setKeptBytes(const QList<int> &positions); // written bytes there are not taken
    void setBurstSilenceMs(int ms); // silence that ends a burst on input (default 20)
    void hangUp();                  // close the pty now; the tool sees the line drop

    // A unit taken off the line and another attached, as on a production line.
    // The link is a symbolic link kept pointing at the current line, removed
    // while no line is open, so the tool can open one stable path for every unit.
    void setLinkPath(const QString &path);
    // Hangs up (if a line is open) and opens a new line for a new unit with this
    // configuration, out of command mode; false when no line could be opened.
    bool plugInNewUnit(const QByteArray &config);
    // afterMs after the "---" that ends the tool's read-back of a write, the
    // unit is taken off the line (a poll in between does not keep it there,
    // though it is never taken off in command mode; another write does keep
    // it); afterMs later a new unit with newUnitConfig is attached (-1: off).
    void setUnitSwap(int afterMs, const QByteArray &newUnitConfig);
    // Sends bytes to the tool as data from the radio link, paced at the line rate.
    void transmit(const QByteArray &bytes);

    // Called on the emulator's thread, without its lock held: for every byte as it
    // is logged, and once when the line has been hung up.
    void setByteObserver(std::function<void(const WireByte &)> observer);
    void setHangUpObserver(std::function<void()> observer);

    bool inCommandMode() const;
    int lineBaud() const; // rate the tool set on the line, 0 when unknown

    QList<WireByte> log() const;
    QList<WireBurst> bursts(int silenceMs = 20) const; // the log, grouped
    QByteArray receivedBytes() const;                  // everything the tool wrote, in order
    QByteArray radioBytes() const; // bytes that arrived in data mode, other than "+++"
    void clearLog();               // empties the log and the radio bytes

    // Groups a log into bursts: a new one starts at a change of direction or
    // after a gap of at least silenceMs.
    static QList<WireBurst> groupBursts(const QList<WireByte> &log, int silenceMs);
    // Writes every logged byte as "seconds.micro > 2B" lines (">" to the module).
    static QString formatLog(const QList<WireByte> &log);
    static QString formatByte(const WireByte &byte); // one such line, without newline

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace korva::emu
