#pragma once

#include "serial/portfailure.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <QLoggingCategory>

#include <optional>

namespace korva
{

// Every byte each way with a millisecond timestamp; off unless switched on
// (QT_LOGGING_RULES="korva.wire.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcWire)

// The serial port control: every byte to and from the module passes through it.
// Operations that can be refused return the failure instead of throwing.
class MSComm : public QObject
{
    Q_OBJECT
public:
    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // The port number as the user typed or chose it; a text that is no whole
    // number is refused (Other), a number below 1 is an invalid port.
    std::optional<PortFailure> setCommPort(const QString &number);
    int commPort() const { return m_commPort; }

    // Names the device to open by its path instead of a port number (until the
    // next setCommPort); an empty path is an invalid port.
    std::optional<PortFailure> setDevicePath(const QString &path);

    // "38400,n,8,1": rate, parity (n/e/o/m/s), data bits, stop bits.
    std::optional<PortFailure> setSettings(const QString &settings);
    QString settings() const { return m_settingsText; }

    bool portOpen() const;
    std::optional<PortFailure> setPortOpen(bool open);

    // What became of bytes handed to output().
    enum class Sent {
        Nothing, // none of them reached the device: the port was closed, or it
                 // took none of them and the queue was discarded with the port closed
        All,     // the device took every byte
        Maybe,   // some were taken and the rest is still queued, or the port failed
                 // while taking them: they may still leave
    };

    // Queues the bytes for transmission and hands them to the device at once,
    // without waiting for them to leave the wire.
    Sent output(const QByteArray &bytes);

    // The next received byte not yet read, or an empty array when none waits.
    QByteArray input();

    // Drops every received byte not yet read, so that what arrived before a request
    // is never taken as its answer.
    void discardInput();

    // The device path of the open port as it was chosen, before symbolic links
    // are followed (empty when closed).
    QString devicePath() const;

signals:
    // Raised on the owner's thread once for every received byte waiting to be read.
    void OnComm();
    // The open port failed (device removed, line hung up). The port is already
    // closed when this is delivered; it is delivered once per failure, queued.
    void failed(const korva::PortFailure &failure);

private:
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    std::optional<PortFailure> openPort();
    void closePort();
    // Takes the device for this control alone; the failure when another holds it.
    std::optional<PortFailure> lockDevice();
    PortFailure describeOpenFailure(const QString &path) const;
    std::optional<PortFailure> applyLineSettings(qint32 baudRate, QSerialPort::Parity parity,
                                                 QSerialPort::DataBits dataBits,
                                                 QSerialPort::StopBits stopBits);

    QSerialPort m_port;
    int m_commPort = 1;
    QString m_devicePath; // chosen by path rather than by number, when not empty
    QString m_settingsText = QStringLiteral("9600,n,8,1");
    qint32 m_baudRate = 9600;
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
    QSerialPort::DataBits m_dataBits = QSerialPort::Data8;
    QSerialPort::StopBits m_stopBits = QSerialPort::OneStop;
    bool m_emitting = false;
    qint64 m_bytesTaken = 0;      // bytes handed out by input(), to spot new arrivals
    bool m_closing = false;       // errors raised while closing are not a new failure
    qint64 m_unsentAtFailure = 0; // bytes the device had not taken when it failed
    QString m_openPath;
};

} // namespace korva
