#pragma once

#include "moduleemulator.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace korva::emu
{

struct ModuleEmulator::Private {
    using Clock = std::chrono::steady_clock;

    // How the bytes of the current input burst are taken.
    enum class BurstKind {
        DataPrefix, // data mode, so far a prefix of "+++"
        Radio,      // data mode, not "+++": passed on to the radio
        Entered,    // began with "+++" and entered command mode; the rest is ignored
        Command,    // command mode: judged as a whole once the line goes silent
    };

    // One answer on its way out, paced byte by byte.
    struct Answer {
        QByteArray bytes;
        qsizetype sent = 0;
        Clock::time_point nextAt;
        int splitAfter = 0;
        int splitGapMs = 0;
    };

    // Work gathered under the lock and done after it is released.
    struct Notifications {
        std::vector<WireByte> bytes;
        bool hungUp = false;
    };

    Private();
    ~Private();

    bool openLine();
    void run();
    void wake() const;

    // The helpers below expect the mutex to be held.
    qint64 usecSinceStart(Clock::time_point t) const;
    void logByte(Clock::time_point t, WireByte::Direction direction, quint8 value,
                 Notifications &out);
    void readInput(Notifications &out);
    void takeByte(Clock::time_point t, quint8 value);
    void endBurst();
    void answerCommand(Clock::time_point t); // a "+++" was taken at t
    void leftCommandMode();                  // a "---" was taken
    void writeDueBytes(Notifications &out);
    void closeLine(Notifications &out);
    bool startUnit(const QByteArray &unitConfig);
    void pointLink();
    void removeLink() const;
    std::optional<Clock::time_point> nextDeadline() const;
    Clock::duration byteTime() const;
    int currentLineBaud() const;

    const Clock::time_point start = Clock::now();
    mutable std::mutex mutex;
    std::condition_variable lineClosed;

    int masterFd = -1;
    int slaveFd = -1; // kept open so the master sees no hang-up while the tool is away
    int wakeFd = -1;
    bool open = false;
    bool stopping = false;
    bool hangUpRequested = false;
    QString path;
    QString error;

    QByteArray config;
    ModuleBehaviour behaviour;
    int burstSilenceMs = 20;

    bool commandMode = false;
    bool burstOpen = false;
    BurstKind burstKind = BurstKind::DataPrefix;
    QByteArray burst;
    Clock::time_point lastInput;

    std::deque<Answer> answers;
    Clock::time_point lineFreeAt;
    bool waitWritable = false;
    std::optional<Clock::time_point> hangUpAt;

    QString linkPath;
    int swapAfterMs = -1;
    QByteArray newUnitConfig;
    bool readBackDue = false; // a configuration was written; the next "+++" reads it back
    bool readingBack = false; // the current command mode began as such a read-back
    std::optional<Clock::time_point> unplugAt;
    std::optional<Clock::time_point> heldUnplugAt; // due, but the tool is in command mode
    std::optional<Clock::time_point> plugInAt;

    QList<WireByte> log;
    QByteArray radio;
    // Held while an observer runs (on the worker thread), so that once a new
    // observer is set no call of the old one is still under way.
    std::recursive_mutex observerMutex;
    std::function<void(const WireByte &)> byteObserver;
    std::function<void()> hangUpObserver;

    std::thread worker;
};

} // namespace korva::emu
