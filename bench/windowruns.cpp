#include "app/form1.h"
#include "processinfo.h"
#include "receive/rxdispatcher.h"
#include "windowbench.h"

#include <QTest>

namespace korva::bench
{

namespace
{

using emu::WireBurst;
using emu::WireByte;

constexpr int kDecodeTimeoutMs = 3000;
// Time for the last bytes to cross the pty and for the emulator to close its burst.
constexpr int kLineSettleMs = 60;
constexpr int kBetweenRunsMs = 250;

QList<WireBurst> burstsToModule(const emu::ModuleEmulator &emulator)
{
    QList<WireBurst> sent;
    for (const WireBurst &burst : emulator.bursts(20))
        if (burst.direction == WireByte::Direction::ToModule)
            sent << burst;
    return sent;
}

double gapMs(const WireBurst &before, const WireBurst &after)
{
    return double(after.firstUsec - before.lastUsec) / 1000.0;
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

ReadFigures WindowBench::measureReads(int runs)
{
    ReadFigures figures;
    for (int run = 0; run < runs; ++run) {
        disconnect();
        QTest::qWait(kBetweenRunsMs);
        m_emulator.clearLog();
        m_lastAnswerUsec.store(0);
        const int target = m_decoded + 1;
        const Clock::time_point clicked = Clock::now();
        click("Command7");
        if (!waitForDecoded(target, kDecodeTimeoutMs))
            continue;
        const Clock::time_point lastByte =
            m_emulatorStart + std::chrono::microseconds(m_lastAnswerUsec.load());
        const Clock::time_point floor =
            lastByte + std::chrono::milliseconds(RxDispatcher::kBurstSilenceMs);
        figures.latencyMs.add(msBetween(clicked, m_decodedAt));
        figures.floorMs.add(msBetween(clicked, floor));
        figures.excessMs.add(msBetween(floor, m_decodedAt));

        QTest::qWait(kLineSettleMs);
        const QList<WireBurst> sent = burstsToModule(m_emulator);
        if (sent.size() == 2 && sent[0].bytes == "+++" && sent[1].bytes == "---")
            figures.requestGapMs.add(gapMs(sent[0], sent[1]));
    }
    disconnect();
    QTest::qWait(kBetweenRunsMs);
    return figures;
}

SetFigures WindowBench::measureSets(int runs)
{
    SetFigures figures;
    if (!connectAndRead())
        return figures;
    for (int run = 0; run < runs; ++run) {
        QTest::qWait(kBetweenRunsMs);
        m_emulator.clearLog();
        const int target = m_decoded + 1;
        const double processBefore = processCpuMs();
        const double threadBefore = threadCpuMs();
        click("Command2");
        const bool decoded = waitForDecoded(target, kDecodeTimeoutMs);
        const double processAfter = processCpuMs();
        const double threadAfter = threadCpuMs();
        if (!decoded) {
            ++figures.malformed;
            continue;
        }
        figures.processCpuMs.add(processAfter - processBefore);
        figures.threadCpuMs.add(threadAfter - threadBefore);

        QTest::qWait(kLineSettleMs);
        const QList<WireBurst> sent = burstsToModule(m_emulator);
        if (sent.size() != 5 || sent[0].bytes != "+++" ||
            sent[1].bytes.size() != emu::ModuleEmulator::kConfigSize || sent[2].bytes != "---" ||
            sent[3].bytes != "+++" || sent[4].bytes != "---") {
            ++figures.malformed;
            continue;
        }
        figures.beforePacketMs.add(gapMs(sent[0], sent[1]));
        figures.afterPacketMs.add(gapMs(sent[1], sent[2]));
        figures.beforeReadBackMs.add(gapMs(sent[2], sent[3]));
        figures.readBackMs.add(gapMs(sent[3], sent[4]));
    }
    return figures;
}

SoakFigures WindowBench::soak(int requests)
{
    constexpr int kWarmRequests = 50;
    SoakFigures figures;
    figures.requests = requests;
    if (!m_window->port().portOpen() && !connectAndRead())
        return figures;
    const QString expected = m_decodedText;
    QTest::qWait(kBetweenRunsMs);
    for (int request = 0; request < requests; ++request) {
        // Keeps the emulator's in-process log from growing over the soak.
        m_emulator.clearLog();
        const int target = m_decoded + 1;
        click("Command3");
        if (waitForDecoded(target, kDecodeTimeoutMs)) {
            ++figures.decoded;
            if (m_decodedText != expected)
                ++figures.wrongText;
        }
        if (request + 1 == qMin(kWarmRequests, requests))
            figures.rssAfter50KiB = residentKiB();
    }
    figures.rssAtEndKiB = residentKiB();
    return figures;
}

} // namespace korva::bench
