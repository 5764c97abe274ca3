#include "serial/portmap.h"

#include <QSerialPortInfo>
#include <QSettings>

#include <algorithm>

namespace korva
{

namespace
{

bool isAdapter(const SystemPort &port)
{
    return port.hasVendorId || port.name.startsWith(QLatin1String("ttyUSB")) ||
           port.name.startsWith(QLatin1String("ttyACM"));
}

QList<SystemPort> systemPorts()
{
    QList<SystemPort> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ports.append(SystemPort{info.portName(),
                                PortDevice{info.systemLocation(), info.description()},
                                info.hasVendorIdentifier()});
    }
    return ports;
}

// The system's description of a device named by path or by port name, if it lists one.
QString systemDescription(const QString &path)
{
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        if (info.systemLocation() == path || info.portName() == path)
            return info.description();
    }
    return {};
}

qsizetype digitRunEnd(const QString &text, qsizetype from)
{
    while (from < text.size() && text[from].isDigit())
        ++from;
    return from;
}

} // namespace

bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype endA = digitRunEnd(a, i);
            const qsizetype endB = digitRunEnd(b, j);
            // Compare the runs by value without converting: strip leading zeros,
            // then the longer run is the larger number.
            qsizetype startA = i;
            qsizetype startB = j;
            while (startA + 1 < endA && a[startA] == u'0')
                ++startA;
            while (startB + 1 < endB && b[startB] == u'0')
                ++startB;
            const QStringView runA = QStringView(a).sliced(startA, endA - startA);
            const QStringView runB = QStringView(b).sliced(startB, endB - startB);
            if (runA.size() != runB.size())
                return runA.size() < runB.size();
            if (const int order = runA.compare(runB); order != 0)
                return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    // Equal by value ("ttyS01" and "ttyS1"): fall back to the plain text so the order is total.
    return a < b;
}

QList<SystemPort> orderSystemPorts(QList<SystemPort> ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const SystemPort &a, const SystemPort &b) {
        const bool adapterA = isAdapter(a);
        const bool adapterB = isAdapter(b);
        if (adapterA != adapterB)
            return adapterA;
        return naturalLess(a.name, b.name);
    });
    return ports;
}

std::optional<PortDevice> deviceForPort(int number)
{
    if (number < 1)
        return std::nullopt;

    QSettings store(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                    kSettingsApplication);
    const QString path =
        store.value(QStringLiteral("%1/%2").arg(QLatin1String(kPortsGroup)).arg(number)).toString();
    if (!path.isEmpty())
        return PortDevice{path, systemDescription(path)};

#ifdef Q_OS_WIN
    const QString name = QStringLiteral("COM%1").arg(number);
    return PortDevice{name, systemDescription(name)};
#else
    const QList<SystemPort> ports = orderSystemPorts(systemPorts());
    if (number > ports.size())
        return std::nullopt;
    return ports[number - 1].device;
#endif
}

QString describePort(int number)
{
    return describeDevice(deviceForPort(number));
}

QString describeDevice(const std::optional<PortDevice> &device)
{
    if (!device)
        return QStringLiteral("no device");
    if (device->description.isEmpty())
        return device->path;
    return QStringLiteral("%1 (%2)").arg(device->path, device->description);
}

} // namespace korva
