#pragma once

#include "serial/portfailure.h"

#include <QSerialPort>
#include <QString>

#include <variant>

namespace korva
{

// The line parameters of a "rate,parity,data,stop" text such as "38400,n,8,1".
struct LineSettings {
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Reads a settings text; a refused text gives an Other failure naming the bad part.
std::variant<LineSettings, PortFailure> parseLineSettings(const QString &text);

// Reads a port number: surrounding spaces are ignored, an optional sign and
// decimal digits are accepted, nothing else (a decimal such as "3.6" is no port
// number). A text that is no number is an Other failure; a number below 1 or
// beyond the range of int is an invalid port.
std::variant<int, PortFailure> parseCommPort(const QString &text);

// How a refused setting is named in a description: "the baud rate 256000", "even parity".
QString describeBaudRate(qint32 baudRate);
QString describeParity(QSerialPort::Parity parity);
QString describeDataBits(QSerialPort::DataBits dataBits);
QString describeStopBits(QSerialPort::StopBits stopBits);

} // namespace korva
