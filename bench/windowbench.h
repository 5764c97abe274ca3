#pragma once

#include "benchtable.h"
#include "fakeprompts.h"
#include "moduleemulator.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

namespace korva
{
class Form1;
}

namespace korva::bench
{

using Clock = std::chrono::steady_clock;

struct ReadFigures {
    Samples latencyMs;
    Samples floorMs;
    Samples excessMs;
    Samples requestGapMs; // "+++" to "---" of the request
};

struct SetFigures {
    Samples beforePacketMs;   // "+++" to the packet
    Samples afterPacketMs;    // the packet to "---"
    Samples beforeReadBackMs; // "---" to the read-back "+++"
    Samples readBackMs;       // the read-back "+++" to its "---"
    Samples processCpuMs;
    Samples threadCpuMs;
    int malformed = 0; // runs whose wire bytes were not the five bursts of a Set
};

struct SoakFigures {
    int requests = 0;
    int decoded = 0;
    int wrongText = 0;
    qint64 rssAfter50KiB = -1;
    qint64 rssAtEndKiB = -1;
};

// The tool's window, offscreen, against an emulated module on a pseudo-terminal
// registered as Comm Port 1; message boxes are recorded, never shown.
class WindowBench
{
public:
    WindowBench();
    ~WindowBench();
    WindowBench(const WindowBench &) = delete;
    WindowBench &operator=(const WindowBench &) = delete;

    // Shows the window and waits for its start-up tick; false with a reason on failure.
    bool start(QString *error);
    int lineBaud() const { return m_emulator.lineBaud(); }
    int messageBoxes() const { return int(m_prompts.shown.size()); }

    // Each run connects (reading the configuration) and disconnects again.
    ReadFigures measureReads(int runs);
    // Connects, then runs Set with its read-back `runs` times.
    SetFigures measureSets(int runs);
    // Consecutive configuration requests on an open line, each after the last was decoded.
    SoakFigures soak(int requests);

private:
    void click(const char *name);
    // Runs events until the configuration has been decoded `count` times in all.
    bool waitForDecoded(int count, int timeoutMs);
    bool connectAndRead();
    void disconnect();

    // Taken just before the emulator starts its clock: its log times are counted from there.
    const Clock::time_point m_emulatorStart = Clock::now();
    emu::ModuleEmulator m_emulator;
    FakePrompts m_prompts;
    std::unique_ptr<Form1> m_window;
    // Log time (microseconds on the emulator's clock) of the last answer byte,
    // written on the emulator's thread.
    std::atomic<qint64> m_lastAnswerUsec{0};
    QString m_speedText; // Combo5's text as last seen
    int m_decoded = 0;   // Combo5 going from "??" to a decoded text
    Clock::time_point m_decodedAt;
    QString m_decodedText;
};

} // namespace korva::bench
