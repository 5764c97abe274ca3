#include "linerate.h"
#include "moduleemulator_p.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcEmulator, "korva.emulator")

namespace korva::emu
{

namespace
{

const QByteArray kEnterCommand = QByteArrayLiteral("+++");
const QByteArray kLeaveCommand = QByteArrayLiteral("---");

// A burst made only of "+++" and "---", as the tool's commands in a row.
bool isCommandSequence(const QByteArray &burst)
{
    if (burst.isEmpty() || burst.size() % kLeaveCommand.size() != 0)
        return false;
    for (qsizetype i = 0; i < burst.size(); i += kLeaveCommand.size()) {
        const QByteArray token = burst.mid(i, kLeaveCommand.size());
        if (token != kEnterCommand && token != kLeaveCommand)
            return false;
    }
    return true;
}
constexpr qint64 kBitsPerByte = 10; // start bit, 8 data bits, stop bit

timespec timeoutUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::max(deadline - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

} // namespace

void ModuleEmulator::Private::run()
{
    // Each byte is stamped when this thread reads it. On a loaded machine a
    // real-time priority, where the system grants one, keeps the stamps within
    // a fraction of a millisecond of the byte's arrival; the thread only ever
    // blocks in ppoll, so it takes no time from anyone.
    sched_param realTime{};
    realTime.sched_priority = 1;
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realTime);
    short masterEvents = 0;
    for (;;) {
        Notifications out;
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            if (open && (masterEvents & POLLOUT))
                waitWritable = false;
            if (open && (masterEvents & (POLLIN | POLLHUP | POLLERR)))
                readInput(out);
            const auto now = Clock::now();
            if (open && (hangUpRequested || (hangUpAt && now >= *hangUpAt)))
                closeLine(out);
            hangUpRequested = false;
            if (open && unplugAt && now >= *unplugAt) {
                unplugAt.reset();
                closeLine(out);
                plugInAt = now + std::chrono::milliseconds(swapAfterMs);
            }
            if (!open && plugInAt && now >= *plugInAt) {
                plugInAt.reset();
                if (!startUnit(newUnitConfig))
                    qCWarning(lcEmulator) << "cannot attach the next unit:" << error;
            }
            if (open) {
                if (burstOpen && now - lastInput >= std::chrono::milliseconds(burstSilenceMs))
                    endBurst();
                writeDueBytes(out);
            }
            if (open) {
                fds[1] = {masterFd, static_cast<short>(POLLIN | (waitWritable ? POLLOUT : 0)), 0};
                count = 2;
            }
            deadline = nextDeadline();
        }
        if (!out.bytes.empty() || out.hungUp) {
            // The observers of this moment, called without the line's lock so
            // that they may use the emulator.
            std::lock_guard calls(observerMutex);
            std::function<void(const WireByte &)> notifyByte;
            std::function<void()> notifyHangUp;
            {
                std::lock_guard lock(mutex);
                notifyByte = byteObserver;
                notifyHangUp = out.hungUp ? hangUpObserver : nullptr;
            }
            if (notifyByte) {
                for (const WireByte &byte : out.bytes)
                    notifyByte(byte);
            }
            if (notifyHangUp)
                notifyHangUp();
        }

        timespec timeout{};
        if (deadline)
            timeout = timeoutUntil(*deadline);
        if (::ppoll(fds, count, deadline ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            qCWarning(lcEmulator) << "poll failed:" << errno;
        if (fds[0].revents & POLLIN) {
            std::uint64_t counter = 0;
            [[maybe_unused]] const ssize_t drained = ::read(wakeFd, &counter, sizeof counter);
        }
        masterEvents = count == 2 ? fds[1].revents : 0;
    }
}

qint64 ModuleEmulator::Private::usecSinceStart(Clock::time_point t) const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(t - start).count();
}

void ModuleEmulator::Private::logByte(Clock::time_point t, WireByte::Direction direction,
                                      quint8 value, Notifications &out)
{
    const WireByte byte{usecSinceStart(t), direction, value};
    log.append(byte);
    if (byteObserver)
        out.bytes.push_back(byte);
}

void ModuleEmulator::Private::readInput(Notifications &out)
{
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            // Cannot happen while our own slave fd is open; never poll a dead line.
            qCWarning(lcEmulator) << "line lost while reading, errno" << errno;
            closeLine(out);
            return;
        }
        const auto t = Clock::now();
        const bool accepted =
            behaviour.requiredBaud == 0 || currentLineBaud() == behaviour.requiredBaud;
        for (ssize_t i = 0; i < n; ++i) {
            const auto value = static_cast<quint8>(buffer[i]);
            logByte(t, WireByte::Direction::ToModule, value, out);
            if (accepted)
                takeByte(t, value);
        }
    }
}

void ModuleEmulator::Private::takeByte(Clock::time_point t, quint8 value)
{
    if (burstOpen && t - lastInput >= std::chrono::milliseconds(burstSilenceMs))
        endBurst();
    if (!burstOpen) {
        burstOpen = true;
        burst.clear();
        burstKind = commandMode ? BurstKind::Command : BurstKind::DataPrefix;
    }
    lastInput = t;
    burst.append(static_cast<char>(value));

    switch (burstKind) {
    case BurstKind::DataPrefix:
        if (value != '+') {
            radio.append(burst);
            burstKind = BurstKind::Radio;
        } else if (burst.size() == kEnterCommand.size()) {
            // Answer on the third '+' rather than after the silence, as the tool
            // gives the module only a short pause to begin its answer.
            burstKind = BurstKind::Entered;
            commandMode = true;
            answerCommand(t);
        }
        break;
    case BurstKind::Radio:
        radio.append(static_cast<char>(value));
        break;
    case BurstKind::Entered:
    case BurstKind::Command:
        break;
    }
}

void ModuleEmulator::Private::endBurst()
{
    switch (burstKind) {
    case BurstKind::DataPrefix: // a lone "+" or "++" is ordinary data
        radio.append(burst);
        break;
    case BurstKind::Command:
        if (burst.size() == ModuleEmulator::kConfigSize) {
            if (!behaviour.ignorePacket) {
                for (const int position : std::as_const(behaviour.keptBytes)) {
                    if (position >= 0 && position < ModuleEmulator::kConfigSize)
                        burst[position] = config.at(position);
                }
                config = burst;
            }
            // A write cancels a removal that was due: the tool is at work on the unit.
            readBackDue = true;
            heldUnplugAt.reset();
        } else if (isCommandSequence(burst)) {
            // "---" and "+++" sent back to back, as two requests in a row do.
            for (qsizetype i = 0; i < burst.size(); i += kLeaveCommand.size()) {
                if (burst.mid(i, kLeaveCommand.size()) == kEnterCommand) {
                    commandMode = true;
                    answerCommand(Clock::now());
                } else {
                    commandMode = false;
                    leftCommandMode();
                }
            }
        } else {
            qCInfo(lcEmulator) << "ignored a command-mode burst of" << burst.size()
                               << "bytes:" << burst.toHex(' ');
        }
        break;
    case BurstKind::Entered:
    case BurstKind::Radio:
        break;
    }
    burstOpen = false;
    burst.clear();
}

// The unit is taken off a while after the tool read it back following a write.
// A poll in between does not keep it on the line (its removal is only held
// while the tool has it in command mode); another write does.
void ModuleEmulator::Private::leftCommandMode()
{
    if (readingBack && swapAfterMs >= 0)
        unplugAt = lastInput + std::chrono::milliseconds(swapAfterMs);
    else
        unplugAt = heldUnplugAt;
    heldUnplugAt.reset();
    readingBack = false;
}

void ModuleEmulator::Private::answerCommand(Clock::time_point t)
{
    if (unplugAt)
        heldUnplugAt = unplugAt;
    unplugAt.reset();
    readingBack = readBackDue;
    readBackDue = false;
    if (behaviour.hangUpAfterMs >= 0) {
        hangUpAt = t + std::chrono::milliseconds(behaviour.hangUpAfterMs);
        behaviour.hangUpAfterMs = -1;
    }
    if (behaviour.silent)
        return;
    QByteArray bytes = behaviour.answerBytes.isEmpty() ? config : behaviour.answerBytes;
    if (behaviour.answerLength >= 0)
        bytes.truncate(behaviour.answerLength);
    if (bytes.isEmpty())
        return;
    answers.push_back(Answer{bytes, 0, t + std::chrono::milliseconds(behaviour.answerDelayMs),
                             behaviour.splitAfter, behaviour.splitGapMs});
}

void ModuleEmulator::Private::writeDueBytes(Notifications &out)
{
    while (open && !answers.empty() && !waitWritable) {
        Answer &answer = answers.front();
        if (std::max(answer.nextAt, lineFreeAt) > Clock::now())
            return;
        const char value = answer.bytes.at(answer.sent);
        const ssize_t n = ::write(masterFd, &value, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitWritable = true;
            return;
        }
        if (n != 1) {
            qCWarning(lcEmulator) << "line lost while writing, errno" << errno;
            closeLine(out);
            return;
        }
        const auto written = Clock::now();
        logByte(written, WireByte::Direction::FromModule, static_cast<quint8>(value), out);
        ++answer.sent;
        lineFreeAt = written + byteTime();
        answer.nextAt = lineFreeAt;
        if (answer.splitAfter > 0 && answer.sent == answer.splitAfter)
            answer.nextAt += std::chrono::milliseconds(answer.splitGapMs);
        if (answer.sent == answer.bytes.size())
            answers.pop_front();
    }
}

void ModuleEmulator::Private::closeLine(Notifications &out)
{
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = -1;
    slaveFd = -1;
    open = false;
    answers.clear();
    hangUpAt.reset();
    burstOpen = false;
    burst.clear();
    waitWritable = false;
    readBackDue = false;
    readingBack = false;
    unplugAt.reset();
    heldUnplugAt.reset();
    removeLink();
    out.hungUp = true;
    lineClosed.notify_all();
}

std::optional<ModuleEmulator::Private::Clock::time_point>
ModuleEmulator::Private::nextDeadline() const
{
    std::optional<Clock::time_point> deadline = open ? hangUpAt : plugInAt;
    const auto consider = [&deadline](Clock::time_point t) {
        if (!deadline || t < *deadline)
            deadline = t;
    };
    if (!open)
        return deadline;
    if (unplugAt)
        consider(*unplugAt);
    if (burstOpen)
        consider(lastInput + std::chrono::milliseconds(burstSilenceMs));
    if (!answers.empty() && !waitWritable)
        consider(std::max(answers.front().nextAt, lineFreeAt));
    return deadline;
}

ModuleEmulator::Private::Clock::duration ModuleEmulator::Private::byteTime() const
{
    const int baud = currentLineBaud();
    if (baud <= 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000 / baud));
}

int ModuleEmulator::Private::currentLineBaud() const
{
    return readLineRate(masterFd);
}

void ModuleEmulator::Private::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

} // namespace korva::emu
