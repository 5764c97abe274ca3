#include "serial/portmap.h"

#include "config/displaytext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
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

QList<SystemPort> listedSystemPorts()
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

struct SourceSlot {
    QMutex mutex;
    SystemPortSource source = listedSystemPorts;
};

SourceSlot &sourceSlot()
{
    static SourceSlot slot;
    return slot;
}

// The system's description of a device named by path (a link to it too) or by
// port name, if it lists one.
QString systemDescription(const QString &path, const QList<SystemPort> &scanned)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const SystemPort &port : scanned) {
        if (port.device.path == path || port.name == path ||
            (!canonical.isEmpty() && port.device.path == canonical))
            return port.device.description;
    }
    return {};
}

// Whether the device a [Ports] entry names is there now (a USB adapter may be
// pulled, a link removed); only asked where device paths are files.
bool devicePresent([[maybe_unused]] const QString &path)
{
#ifdef Q_OS_WIN
    return true;
#else
    return QFileInfo::exists(path);
#endif
}

QString settingsFileName()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                     kSettingsApplication)
        .fileName();
}

PortFailure unusableEntry(const PortEntry &entry, const QString &fileName)
{
    const QString where =
        QStringLiteral("The [%1] entry %2 in %3")
            .arg(QLatin1String(kPortsGroup), shortenedForDisplay(entry.key, kShownPathLength),
                 shortenedForDisplay(QDir::toNativeSeparators(fileName), kShownPathLength));
    if (entry.text.isEmpty())
        return {PortFailure::Kind::Other, where + QStringLiteral(" is empty")};
    return {PortFailure::Kind::Other,
            where + QStringLiteral(" (%1) names no device clearly: write the path in double "
                                   "quotes, with \\\\ for a backslash and \\\" for a quote")
                        .arg(shortenedForDisplay(entry.text, kShownPathLength))};
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

void setSystemPortSource(SystemPortSource source)
{
    SourceSlot &slot = sourceSlot();
    const QMutexLocker lock(&slot.mutex);
    slot.source = source ? std::move(source) : listedSystemPorts;
}

QList<SystemPort> scanSystemPorts()
{
    SystemPortSource source;
    {
        SourceSlot &slot = sourceSlot();
        const QMutexLocker lock(&slot.mutex);
        source = slot.source;
    }
    return orderSystemPorts(source());
}

std::optional<QString> pathOfPortEntry(const QString &text, const QVariant &settingsValue)
{
    if (text.isEmpty())
        return std::nullopt;
    const bool quoted = text.startsWith(u'"');
    const bool settingsForm =
        quoted || text.startsWith(u'@') || text.contains(u'\\') || text.contains(u'"');
    if (!settingsForm)
        return text;
    // Outside quotes QSettings splits at a comma and ends the value at a semicolon.
    if (!quoted && (text.contains(u',') || text.contains(u';')))
        return std::nullopt;
    if (settingsValue.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString path = settingsValue.toString();
    // No device path holds a control character: one here is a misread escape.
    if (path.isEmpty() || std::any_of(path.cbegin(), path.cend(),
                                      [](QChar c) { return c.category() == QChar::Other_Control; }))
        return std::nullopt;
    return path;
}

QList<PortEntry> readPortEntries(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QSettings store(fileName, QSettings::IniFormat);
    const QString group = QLatin1String(kPortsGroup);
    QList<PortEntry> entries;
    bool inGroup = false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            inGroup = line.sliced(1, line.size() - 2).trimmed() == group;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inGroup || line.startsWith(u';') || equals < 0)
            continue;
        PortEntry entry{line.left(equals).trimmed(), line.sliced(equals + 1).trimmed(), {}};
        entry.path = pathOfPortEntry(entry.text, store.value(group + u'/' + entry.key));
        entries.removeIf([&](const PortEntry &earlier) { return earlier.key == entry.key; });
        entries.append(entry);
    }
    return entries;
}

std::variant<PortDevice, PortFailure> deviceForPort(int number)
{
    return deviceForPort(number, scanSystemPorts());
}

namespace
{

// deviceForPort, telling also whether a [Ports] entry named the device.
std::variant<PortDevice, PortFailure> findDevice(int number, const QList<SystemPort> &scanned,
                                                 bool *fromEntry)
{
    *fromEntry = false;
    const PortFailure noDevice{PortFailure::Kind::InvalidPort,
                               QStringLiteral("No device for port %1").arg(number)};
    if (number < 1)
        return noDevice;

    const QString fileName = settingsFileName();
    const QList<PortEntry> entries = readPortEntries(fileName);
    for (const PortEntry &entry : entries) {
        if (entry.key != QString::number(number))
            continue;
        *fromEntry = true;
        if (!entry.path)
            return unusableEntry(entry, fileName);
        return PortDevice{*entry.path, systemDescription(*entry.path, scanned)};
    }

#ifdef Q_OS_WIN
    const QString name = QStringLiteral("COM%1").arg(number);
    return PortDevice{name, systemDescription(name, scanned)};
#else
    if (number > scanned.size())
        return noDevice;
    return scanned[number - 1].device;
#endif
}

} // namespace

std::variant<PortDevice, PortFailure> deviceForPort(int number, const QList<SystemPort> &scanned)
{
    bool fromEntry = false;
    return findDevice(number, scanned, &fromEntry);
}

QString describePort(int number)
{
    return describePort(number, scanSystemPorts());
}

QString describePort(int number, const QList<SystemPort> &scanned)
{
    bool fromEntry = false;
    const auto found = findDevice(number, scanned, &fromEntry);
    if (const auto *failure = std::get_if<PortFailure>(&found))
        return failure->kind == PortFailure::Kind::InvalidPort ? QStringLiteral("no device")
                                                               : failure->description;
    const PortDevice &device = std::get<PortDevice>(found);
    const QString path = shortenedForDisplay(device.path, kShownPathLength);
    // The system lists only what is there; an entry may name a pulled adapter.
    if (fromEntry && !devicePresent(device.path))
        return QStringLiteral("%1 (not present)").arg(path);
    if (device.description.isEmpty())
        return path;
    return QStringLiteral("%1 (%2)").arg(path,
                                         shortenedForDisplay(device.description, kShownPathLength));
}

} // namespace korva
