#include "moduleemulator.h"

#include "linerate.h"
#include "moduleemulator_p.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace korva::emu
{

const QByteArray ModuleEmulator::kDefaultConfig =
    QByteArray::fromHex("7F7F7F7F010203040620001E1E0023");

ModuleEmulator::Private::Private() : config(ModuleEmulator::kDefaultConfig) {}

ModuleEmulator::Private::~Private()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    if (worker.joinable()) {
        wake();
        worker.join();
    }
    for (const int fd : {masterFd, slaveFd, wakeFd}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (open)
        removeLink();
}

bool ModuleEmulator::Private::openLine()
{
    const auto fail = [this](const char *what) {
        error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                             QString::fromLocal8Bit(std::strerror(errno)));
        for (int *fd : {&masterFd, &slaveFd}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        return false;
    };
    if (::openpty(&masterFd, &slaveFd, nullptr, nullptr, nullptr) != 0)
        return fail("cannot open a pseudo-terminal");
    char name[128] = {};
    if (::ptsname_r(masterFd, name, sizeof name) != 0)
        return fail("cannot name the pseudo-terminal");
    path = QString::fromLocal8Bit(name);

    termios attributes{};
    if (::tcgetattr(slaveFd, &attributes) != 0)
        return fail("cannot read the line settings");
    ::cfmakeraw(&attributes);
    if (::tcsetattr(slaveFd, TCSANOW, &attributes) != 0)
        return fail("cannot set raw mode");

    if (::fcntl(masterFd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK) != 0)
        return fail("cannot set up the pseudo-terminal");
    if (wakeFd < 0)
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return fail("cannot create the wake-up event");
    lineFreeAt = Clock::now();
    open = true;
    return true;
}

bool ModuleEmulator::Private::startUnit(const QByteArray &unitConfig)
{
    if (!openLine())
        return false;
    config = unitConfig;
    commandMode = false;
    readBackDue = false;
    readingBack = false;
    pointLink();
    return true;
}

// Re-pointed by renaming a fresh link over the old one, so the path never
// names a half-made link.
void ModuleEmulator::Private::pointLink()
{
    if (linkPath.isEmpty() || !open)
        return;
    const QByteArray link = QFile::encodeName(linkPath);
    const QByteArray fresh = link + ".new";
    ::unlink(fresh.constData());
    if (::symlink(QFile::encodeName(path).constData(), fresh.constData()) != 0 ||
        ::rename(fresh.constData(), link.constData()) != 0)
        error = QStringLiteral("cannot link %1: %2")
                    .arg(linkPath, QString::fromLocal8Bit(std::strerror(errno)));
}

void ModuleEmulator::Private::removeLink() const
{
    if (!linkPath.isEmpty())
        ::unlink(QFile::encodeName(linkPath).constData());
}

ModuleEmulator::ModuleEmulator() : d(std::make_unique<Private>())
{
    if (d->openLine())
        d->worker = std::thread([p = d.get()] { p->run(); });
}

ModuleEmulator::~ModuleEmulator() = default;

bool ModuleEmulator::isOpen() const
{
    std::lock_guard lock(d->mutex);
    return d->open;
}

QString ModuleEmulator::errorString() const
{
    std::lock_guard lock(d->mutex);
    return d->error;
}

QString ModuleEmulator::devicePath() const
{
    std::lock_guard lock(d->mutex);
    return d->path;
}

bool ModuleEmulator::setConfig(const QByteArray &block)
{
    if (block.size() != kConfigSize)
        return false;
    std::lock_guard lock(d->mutex);
    d->config = block;
    return true;
}

QByteArray ModuleEmulator::config() const
{
    std::lock_guard lock(d->mutex);
    return d->config;
}

void ModuleEmulator::setBehaviour(const ModuleBehaviour &behaviour)
{
    std::lock_guard lock(d->mutex);
    d->behaviour = behaviour;
}

void ModuleEmulator::setSilent(bool silent)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.silent = silent;
}

void ModuleEmulator::setIgnorePacket(bool ignore)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.ignorePacket = ignore;
}

void ModuleEmulator::setAnswerDelayMs(int ms)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.answerDelayMs = std::max(ms, 0);
}

void ModuleEmulator::setAnswerLength(int bytes)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.answerLength = bytes < 0 ? -1 : bytes;
}

void ModuleEmulator::setSplit(int afterBytes, int gapMs)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.splitAfter = std::max(afterBytes, 0);
    d->behaviour.splitGapMs = std::max(gapMs, 0);
}

void ModuleEmulator::setAnswerBytes(const QByteArray &bytes)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.answerBytes = bytes;
}

void ModuleEmulator::setRequiredBaud(int baud)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.requiredBaud = std::max(baud, 0);
}

void ModuleEmulator::setHangUpAfterCommandMs(int ms)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.hangUpAfterMs = ms < 0 ? -1 : ms;
}

void ModuleEmulator::setKeptBytes(const QList<int> &positions)
{
    std::lock_guard lock(d->mutex);
    d->behaviour.keptBytes = positions;
}

void ModuleEmulator::setLinkPath(const QString &path)
{
    std::lock_guard lock(d->mutex);
    d->removeLink();
    d->linkPath = path;
    d->pointLink();
}

bool ModuleEmulator::plugInNewUnit(const QByteArray &config)
{
    if (config.size() != kConfigSize)
        return false;
    hangUp();
    std::lock_guard lock(d->mutex);
    if (!d->startUnit(config))
        return false;
    d->wake();
    return true;
}

void ModuleEmulator::setUnitSwap(int afterMs, const QByteArray &newUnitConfig)
{
    std::lock_guard lock(d->mutex);
    d->swapAfterMs = afterMs < 0 ? -1 : afterMs;
    d->newUnitConfig = newUnitConfig.size() == kConfigSize ? newUnitConfig : d->config;
    if (d->swapAfterMs < 0) {
        d->unplugAt.reset();
        d->heldUnplugAt.reset();
        d->plugInAt.reset();
    }
    d->wake();
}

void ModuleEmulator::setBurstSilenceMs(int ms)
{
    std::lock_guard lock(d->mutex);
    d->burstSilenceMs = std::max(ms, 1);
}

void ModuleEmulator::transmit(const QByteArray &bytes)
{
    std::lock_guard lock(d->mutex);
    if (!d->open || bytes.isEmpty())
        return;
    d->answers.push_back(Private::Answer{bytes, 0, Private::Clock::now(), 0, 0});
    d->wake();
}

void ModuleEmulator::hangUp()
{
    std::unique_lock lock(d->mutex);
    if (!d->open)
        return;
    d->hangUpRequested = true;
    d->wake();
    // An observer running on the emulator's thread cannot wait for that thread.
    if (std::this_thread::get_id() == d->worker.get_id())
        return;
    d->lineClosed.wait(lock, [this] { return !d->open; });
}

void ModuleEmulator::setByteObserver(std::function<void(const WireByte &)> observer)
{
    std::lock_guard calls(d->observerMutex);
    std::lock_guard lock(d->mutex);
    d->byteObserver = std::move(observer);
}

void ModuleEmulator::setHangUpObserver(std::function<void()> observer)
{
    std::lock_guard calls(d->observerMutex);
    std::lock_guard lock(d->mutex);
    d->hangUpObserver = std::move(observer);
}

bool ModuleEmulator::inCommandMode() const
{
    std::lock_guard lock(d->mutex);
    return d->commandMode;
}

int ModuleEmulator::lineBaud() const
{
    std::lock_guard lock(d->mutex);
    return d->open ? readLineRate(d->masterFd) : 0;
}

QList<WireByte> ModuleEmulator::log() const
{
    std::lock_guard lock(d->mutex);
    return d->log;
}

QList<WireBurst> ModuleEmulator::bursts(int silenceMs) const
{
    return groupBursts(log(), silenceMs);
}

QByteArray ModuleEmulator::receivedBytes() const
{
    QByteArray bytes;
    for (const WireByte &byte : log()) {
        if (byte.direction == WireByte::Direction::ToModule)
            bytes.append(static_cast<char>(byte.value));
    }
    return bytes;
}

QByteArray ModuleEmulator::radioBytes() const
{
    std::lock_guard lock(d->mutex);
    return d->radio;
}

void ModuleEmulator::clearLog()
{
    std::lock_guard lock(d->mutex);
    d->log.clear();
    d->radio.clear();
}

QList<WireBurst> ModuleEmulator::groupBursts(const QList<WireByte> &log, int silenceMs)
{
    const qint64 silenceUsec = qint64(silenceMs) * 1000;
    QList<WireBurst> bursts;
    for (const WireByte &byte : log) {
        if (bursts.isEmpty() || bursts.last().direction != byte.direction ||
            byte.usec - bursts.last().lastUsec >= silenceUsec) {
            bursts.append(WireBurst{byte.direction, byte.usec, byte.usec, {}});
        }
        WireBurst &burst = bursts.last();
        burst.lastUsec = byte.usec;
        burst.bytes.append(static_cast<char>(byte.value));
    }
    return bursts;
}

QString ModuleEmulator::formatByte(const WireByte &byte)
{
    return QStringLiteral("%1.%2 %3 %4")
        .arg(byte.usec / 1'000'000)
        .arg(byte.usec % 1'000'000, 6, 10, QLatin1Char('0'))
        .arg(byte.direction == WireByte::Direction::ToModule ? QLatin1Char('>') : QLatin1Char('<'))
        .arg(byte.value, 2, 16, QLatin1Char('0'))
        .toUpper();
}

QString ModuleEmulator::formatLog(const QList<WireByte> &log)
{
    QString text;
    for (const WireByte &byte : log)
        text += formatByte(byte) + QLatin1Char('\n');
    return text;
}

} // namespace korva::emu
