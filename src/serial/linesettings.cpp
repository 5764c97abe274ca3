#include "serial/linesettings.h"

#include "config/displaytext.h"

#include <QStringList>

#include <limits>

namespace korva
{

namespace
{

PortFailure otherFailure(const QString &description)
{
    return PortFailure{PortFailure::Kind::Other, description};
}

// A text from the settings or the user as a failure's description quotes it.
QString shown(const QString &text)
{
    return shortenedForDisplay(text, kShownPathLength);
}

bool isAsciiDigits(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

} // namespace

std::variant<int, PortFailure> parseCommPort(const QString &text)
{
    const QString trimmed = text.trimmed();
    QStringView digits(trimmed);
    bool negative = false;
    if (digits.startsWith(u'+') || digits.startsWith(u'-')) {
        negative = digits.front() == u'-';
        digits = digits.mid(1);
    }
    if (!isAsciiDigits(digits))
        return otherFailure(QStringLiteral("Port \"%1\" is not a number").arg(shown(trimmed)));

    // Any number of digits is a number; one too large for int names no port.
    bool ok = false;
    const qlonglong value = digits.toLongLong(&ok);
    if (negative || !ok || value < 1 || value > std::numeric_limits<int>::max()) {
        return PortFailure{PortFailure::Kind::InvalidPort,
                           QStringLiteral("Port number %1 is not valid").arg(shown(trimmed))};
    }
    return static_cast<int>(value);
}

std::variant<LineSettings, PortFailure> parseLineSettings(const QString &text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 4) {
        return otherFailure(
            QStringLiteral("Settings \"%1\" must have the form rate,parity,data bits,stop bits")
                .arg(shown(text)));
    }
    LineSettings settings;

    const QString rate = parts[0].trimmed();
    bool ok = false;
    const int baudRate = rate.toInt(&ok);
    if (!isAsciiDigits(rate) || baudRate < 1) {
        // Digits that overflow are a rate no device offers; anything else is no rate at all.
        if (isAsciiDigits(rate) && !ok)
            return otherFailure(QStringLiteral("Baud rate \"%1\" is too high").arg(shown(rate)));
        return otherFailure(
            QStringLiteral("Baud rate \"%1\" is not a positive whole number").arg(shown(rate)));
    }
    settings.baudRate = baudRate;

    const QString parity = parts[1].trimmed().toLower();
    if (parity == u"n")
        settings.parity = QSerialPort::NoParity;
    else if (parity == u"e")
        settings.parity = QSerialPort::EvenParity;
    else if (parity == u"o")
        settings.parity = QSerialPort::OddParity;
    else if (parity == u"m")
        settings.parity = QSerialPort::MarkParity;
    else if (parity == u"s")
        settings.parity = QSerialPort::SpaceParity;
    else
        return otherFailure(QStringLiteral("Parity \"%1\" is not one of n, e, o, m, s")
                                .arg(shown(parts[1].trimmed())));

    const QString data = parts[2].trimmed();
    if (data == u"5")
        settings.dataBits = QSerialPort::Data5;
    else if (data == u"6")
        settings.dataBits = QSerialPort::Data6;
    else if (data == u"7")
        settings.dataBits = QSerialPort::Data7;
    else if (data == u"8")
        settings.dataBits = QSerialPort::Data8;
    else
        return otherFailure(
            QStringLiteral("Data bits \"%1\" must be 5, 6, 7 or 8").arg(shown(data)));

    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        settings.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        settings.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        settings.stopBits = QSerialPort::TwoStop;
    else
        return otherFailure(
            QStringLiteral("Stop bits \"%1\" must be 1, 1.5 or 2").arg(shown(stop)));

    return settings;
}

QString describeBaudRate(qint32 baudRate)
{
    return QStringLiteral("the baud rate %1").arg(baudRate);
}

QString describeParity(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::NoParity:
        return QStringLiteral("no parity");
    case QSerialPort::EvenParity:
        return QStringLiteral("even parity");
    case QSerialPort::OddParity:
        return QStringLiteral("odd parity");
    case QSerialPort::MarkParity:
        return QStringLiteral("mark parity");
    case QSerialPort::SpaceParity:
        return QStringLiteral("space parity");
    }
    return QStringLiteral("the parity");
}

QString describeDataBits(QSerialPort::DataBits dataBits)
{
    return QStringLiteral("%1 data bits").arg(static_cast<int>(dataBits));
}

QString describeStopBits(QSerialPort::StopBits stopBits)
{
    switch (stopBits) {
    case QSerialPort::OneStop:
        return QStringLiteral("1 stop bit");
    case QSerialPort::OneAndHalfStop:
        return QStringLiteral("1.5 stop bits");
    case QSerialPort::TwoStop:
        return QStringLiteral("2 stop bits");
    }
    return QStringLiteral("the stop bits");
}

} // namespace korva
