#include "serial/mscomm.h"

#include "config/displaytext.h"
#include "serial/linesettings.h"
#include "serial/portmap.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace korva
{

Q_LOGGING_CATEGORY(lcWire, "korva.wire", QtInfoMsg)

namespace
{

// "12.345 > 2B 2B 2B": milliseconds since the first traced byte, the direction
// ("> " to the module, "< " from it) and the bytes in hex.
void traceBytes(const char *direction, const QByteArray &bytes)
{
    // Started once, by whichever port traces first: provisioning slots trace
    // from threads of their own.
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    qCDebug(lcWire, "%10.3f %s %s", double(clock.nsecsElapsed()) / 1e6, direction,
            bytes.toHex(' ').toUpper().constData());
}

// The path QSerialPort opens for a port name: bare names live under /dev.
QString systemLocation(const QString &name)
{
#ifdef Q_OS_WIN
    return name;
#else
    if (name.startsWith(u'/') || name.startsWith(QLatin1String("./")) ||
        name.startsWith(QLatin1String("../")))
        return name;
    return QLatin1String("/dev/") + name;
#endif
}

// A device path as a failure's description names it.
QString shown(const QString &path)
{
    return shortenedForDisplay(path, kShownPathLength);
}

bool readableAndWritable(const QString &path)
{
#ifdef Q_OS_UNIX
    // Checked with the effective identity, the one the open itself used.
    return ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK | W_OK, AT_EACCESS) == 0;
#else
    Q_UNUSED(path);
    // Elsewhere a refused open of a port the user may use means another program holds it.
    return true;
#endif
}

} // namespace

MSComm::MSComm(QObject *parent) : QObject(parent), m_port(this)
{
    connect(&m_port, &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onErrorOccurred);
}

MSComm::~MSComm()
{
    // No failure is reported for the close that goes with the control.
    disconnect(&m_port, nullptr, this, nullptr);
    if (m_port.isOpen())
        m_port.close();
}

std::optional<PortFailure> MSComm::setCommPort(const QString &number)
{
    const auto parsed = parseCommPort(number);
    if (const auto *failure = std::get_if<PortFailure>(&parsed))
        return *failure;
    m_commPort = std::get<int>(parsed);
    m_devicePath.clear();
    return std::nullopt;
}

std::optional<PortFailure> MSComm::setDevicePath(const QString &path)
{
    if (path.trimmed().isEmpty())
        return PortFailure{PortFailure::Kind::InvalidPort, QStringLiteral("No device path given")};
    m_devicePath = path;
    return std::nullopt;
}

std::optional<PortFailure> MSComm::setSettings(const QString &settings)
{
    const auto parsed = parseLineSettings(settings);
    if (const auto *failure = std::get_if<PortFailure>(&parsed))
        return *failure;
    const LineSettings &line = std::get<LineSettings>(parsed);

    if (m_port.isOpen()) {
        if (auto refused =
                applyLineSettings(line.baudRate, line.parity, line.dataBits, line.stopBits)) {
            // Leave the line as it was rather than half changed.
            applyLineSettings(m_baudRate, m_parity, m_dataBits, m_stopBits);
            return refused;
        }
    }
    m_baudRate = line.baudRate;
    m_parity = line.parity;
    m_dataBits = line.dataBits;
    m_stopBits = line.stopBits;
    m_settingsText = settings;
    return std::nullopt;
}

bool MSComm::portOpen() const
{
    return m_port.isOpen();
}

std::optional<PortFailure> MSComm::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        return std::nullopt;
    }
    // Opening an open port keeps it as it is, on the device it was opened on.
    if (m_port.isOpen())
        return std::nullopt;
    return openPort();
}

std::optional<PortFailure> MSComm::openPort()
{
    const auto device = m_devicePath.isEmpty()
                            ? deviceForPort(m_commPort)
                            : std::variant<PortDevice, PortFailure>(PortDevice{m_devicePath, {}});
    if (const auto *failure = std::get_if<PortFailure>(&device))
        return *failure;
    const QString path = systemLocation(std::get<PortDevice>(device).path);
#ifndef Q_OS_WIN
    if (!QFileInfo::exists(path)) {
        return PortFailure{PortFailure::Kind::InvalidPort,
                           QStringLiteral("Device %1 does not exist").arg(shown(path))};
    }
#endif

    // The device is opened by its canonical path: the port's lock file is named
    // after the path it opens, so two paths to one device would both get one.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    // Open with plain settings every device takes, then apply the chosen ones one
    // by one, so that a refusal can name the setting the device would not take.
    m_port.setPortName(canonical.isEmpty() ? path : canonical);
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite))
        return describeOpenFailure(path);
    m_openPath = path;
    if (auto refused = lockDevice()) {
        closePort();
        return refused;
    }

    if (auto refused = applyLineSettings(m_baudRate, m_parity, m_dataBits, m_stopBits)) {
        closePort();
        return refused;
    }
    // Bytes the device held before this open (radio traffic, an earlier session's
    // answer) belong to nobody's request.
    discardInput();
    return std::nullopt;
}

std::optional<PortFailure> MSComm::lockDevice()
{
#ifdef Q_OS_UNIX
    // The terminal's exclusive mode, which QSerialPort sets, does not hold root
    // back: a lock on the open device itself does, whatever path or user.
    if (::flock(int(m_port.handle()), LOCK_EX | LOCK_NB) == 0)
        return std::nullopt;
    if (errno == EWOULDBLOCK) {
        return PortFailure{
            PortFailure::Kind::Other,
            QStringLiteral("Port busy: %1 is in use by another program").arg(shown(m_openPath))};
    }
    return PortFailure{PortFailure::Kind::Other,
                       QStringLiteral("Cannot lock %1: %2")
                           .arg(shown(m_openPath), QString::fromLocal8Bit(std::strerror(errno)))};
#else
    return std::nullopt;
#endif
}

PortFailure MSComm::describeOpenFailure(const QString &path) const
{
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return PortFailure{PortFailure::Kind::InvalidPort,
                           QStringLiteral("Device %1 does not exist").arg(shown(path))};
    case QSerialPort::PermissionError:
        // A device the user may read and write is refused only while another program holds it.
        if (readableAndWritable(path)) {
            return PortFailure{
                PortFailure::Kind::Other,
                QStringLiteral("Port busy: %1 is in use by another program").arg(shown(path))};
        }
        return PortFailure{
            PortFailure::Kind::Other,
            QStringLiteral("Permission denied: %1 (is your user in the dialout group?)")
                .arg(shown(path))};
    default:
        return PortFailure{
            PortFailure::Kind::Other,
            QStringLiteral("Cannot open %1: %2").arg(shown(path), m_port.errorString())};
    }
}

std::optional<PortFailure> MSComm::applyLineSettings(qint32 baudRate, QSerialPort::Parity parity,
                                                     QSerialPort::DataBits dataBits,
                                                     QSerialPort::StopBits stopBits)
{
    QString refused;
    if (!m_port.setBaudRate(baudRate))
        refused = describeBaudRate(baudRate);
    else if (!m_port.setDataBits(dataBits))
        refused = describeDataBits(dataBits);
    else if (!m_port.setParity(parity))
        refused = describeParity(parity);
    else if (!m_port.setStopBits(stopBits))
        refused = describeStopBits(stopBits);
    else if (!m_port.setFlowControl(QSerialPort::NoFlowControl))
        refused = QStringLiteral("to turn flow control off");
    if (refused.isEmpty())
        return std::nullopt;
    return PortFailure{PortFailure::Kind::Other,
                       QStringLiteral("The device %1 refused %2").arg(shown(m_openPath), refused)};
}

void MSComm::closePort()
{
    if (m_port.isOpen()) {
        m_closing = true;
        m_port.close();
        m_closing = false;
    }
    m_openPath.clear();
}

MSComm::Sent MSComm::output(const QByteArray &bytes)
{
    if (!m_port.isOpen() || bytes.isEmpty())
        return Sent::Nothing;
    if (lcWire().isDebugEnabled())
        traceBytes(">", bytes);
    if (m_port.write(bytes) != bytes.size()) {
        // QSerialPort buffers a write whole or refuses it; a refusal leaves nothing.
        return m_port.isOpen() && m_port.bytesToWrite() > 0 ? Sent::Maybe : Sent::Nothing;
    }
    // QSerialPort would otherwise hold the bytes until control returns to the
    // event loop, which delays them and shortens the pauses seen on the wire.
    m_unsentAtFailure = 0;
    m_port.flush();
    // A write the device refused closes the port (see onErrorOccurred), which
    // discards what it had not taken: bytes that reached it may have left.
    if (!m_port.isOpen())
        return m_unsentAtFailure >= bytes.size() ? Sent::Nothing : Sent::Maybe;
    const qint64 queued = m_port.bytesToWrite();
    if (queued == 0)
        return Sent::All;
    if (queued < bytes.size())
        return Sent::Maybe;
    // The device took none of these bytes (flow control, a stalled adapter):
    // they would leave during the next pause. Discarding the queue and closing
    // the port makes sure they never do.
    m_port.clear(QSerialPort::Output);
    const QString path = shown(m_openPath);
    closePort();
    const PortFailure failure{
        PortFailure::Kind::Other,
        QStringLiteral("The device %1 took none of %2 bytes: they were discarded and the port "
                       "closed")
            .arg(path)
            .arg(bytes.size())};
    QMetaObject::invokeMethod(
        this, [this, failure] { emit failed(failure); }, Qt::QueuedConnection);
    return Sent::Nothing;
}

QByteArray MSComm::input()
{
    if (!m_port.isOpen())
        return {};
    QByteArray byte = m_port.read(1);
    m_bytesTaken += byte.size();
    if (!byte.isEmpty() && lcWire().isDebugEnabled())
        traceBytes("<", byte);
    return byte;
}

void MSComm::discardInput()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Input);
}

QString MSComm::devicePath() const
{
    return m_openPath;
}

void MSComm::onReadyRead()
{
    // A handler that waits in a nested event loop lets bytes arrive meanwhile, and
    // QSerialPort raises no readyRead for them until the outer one returns: the
    // running loop below hands them over instead.
    if (m_emitting)
        return;
    const QPointer<MSComm> alive(this);
    m_emitting = true;
    qint64 arrived = 0;
    do {
        // One event per byte waiting now; bytes the handlers leave unread wait for
        // the next arrival rather than being offered again and again.
        const qint64 waiting = m_port.bytesAvailable();
        const qint64 takenBefore = m_bytesTaken;
        for (qint64 i = 0; i < waiting && m_port.isOpen(); ++i) {
            emit OnComm();
            if (!alive)
                return;
        }
        const qint64 unread = waiting - (m_bytesTaken - takenBefore);
        arrived = m_port.isOpen() ? m_port.bytesAvailable() - unread : 0;
    } while (arrived > 0);
    m_emitting = false;
}

void MSComm::onErrorOccurred(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError &&
        error != QSerialPort::WriteError)
        return;
    // A vanished device raises these in floods; only the first, while open, counts.
    if (m_closing || !m_port.isOpen())
        return;

    const QString path = shown(m_openPath);
    const QString reason = m_port.errorString();
    m_unsentAtFailure = m_port.bytesToWrite();
    closePort();
    // A hang-up is told in plain words: the system's error text means nothing to a user.
    const QString description =
        error == QSerialPort::WriteError
            ? QStringLiteral("Writing to the device %1 failed (%2)").arg(path, reason)
            : QStringLiteral("The device %1 was disconnected").arg(path);
    const PortFailure failure{PortFailure::Kind::Other, description};
    // Reported from the event loop, never from inside QSerialPort's notification.
    QMetaObject::invokeMethod(
        this, [this, failure] { emit failed(failure); }, Qt::QueuedConnection);
}

} // namespace korva
