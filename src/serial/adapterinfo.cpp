#include "serial/adapterinfo.h"

#include "serial/portmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>

namespace korva
{

namespace
{

struct Roots {
    QString stableNames = QStringLiteral("/dev/serial");
    QString sysClassTty = QStringLiteral("/sys/class/tty");
};

QMutex g_rootsMutex;
Roots g_roots;

Roots currentRoots()
{
    const QMutexLocker lock(&g_rootsMutex);
    return g_roots;
}

// The links in a folder that resolve to the device, by name.
QStringList linksTo(const QString &folder, const QString &device)
{
    QStringList links;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink() && entry.canonicalFilePath() == device)
            links << entry.absoluteFilePath();
    }
    return links;
}

QString attribute(const QDir &folder, const char *name)
{
    QFile file(folder.filePath(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).trimmed();
}

// A USB interface in sysfs: bus-port.port...:configuration.interface.
bool isUsbInterface(const QString &name)
{
    // One pattern per call: adapterInfo() runs on several threads at once.
    const QRegularExpression pattern(QStringLiteral("^\\d+-\\d+(\\.\\d+)*:\\d+\\.\\d+$"));
    return pattern.match(name).hasMatch();
}

// Walks up from the port's sysfs device to the USB device that carries it.
void readUsbAttributes(const QString &sysClassTty, AdapterInfo &info)
{
    const QString name = QFileInfo(info.device).fileName();
    const QString node =
        QFileInfo(sysClassTty + u'/' + name + QStringLiteral("/device")).canonicalFilePath();
    if (name.isEmpty() || node.isEmpty())
        return;
    QDir folder(node);
    do {
        if (info.location.isEmpty() && isUsbInterface(folder.dirName()))
            info.location = folder.dirName();
        if (folder.exists(QStringLiteral("idVendor"))) {
            info.vendorId = attribute(folder, "idVendor").toLower();
            info.productId = attribute(folder, "idProduct").toLower();
            info.manufacturer = attribute(folder, "manufacturer");
            info.product = attribute(folder, "product");
            info.serialNumber = attribute(folder, "serial");
            return;
        }
    } while (folder.cdUp());
}

// One physical adapter: its USB device (the location without the interface),
// or the port itself where that is unknown.
QString adapterIdentity(const AdapterInfo &adapter)
{
    if (adapter.location.isEmpty())
        return adapter.device;
    return adapter.vendorId + u':' + adapter.productId + u'@' +
           adapter.location.section(u':', 0, 0);
}

} // namespace

AdapterInfo adapterInfo(const QString &path)
{
    const Roots roots = currentRoots();
    AdapterInfo info;
    const QFileInfo file(path);
    const QString canonical = file.canonicalFilePath();
    info.device = canonical.isEmpty() ? QDir::cleanPath(file.absoluteFilePath()) : canonical;
    info.byPath = linksTo(roots.stableNames + QStringLiteral("/by-path"), info.device);
    info.byId = linksTo(roots.stableNames + QStringLiteral("/by-id"), info.device);
    readUsbAttributes(roots.sysClassTty, info);
    return info;
}

QList<AdapterInfo> systemAdapters()
{
    QList<AdapterInfo> adapters;
    const QList<SystemPort> ports = scanSystemPorts();
    for (const SystemPort &port : ports)
        adapters << adapterInfo(port.device.path);
    return adapters;
}

QStringList sharedSerialNumbers(const QList<AdapterInfo> &adapters)
{
    QMap<QString, QSet<QString>> reportedBy;
    for (const AdapterInfo &adapter : adapters) {
        if (!adapter.serialNumber.isEmpty())
            reportedBy[adapter.serialNumber].insert(adapterIdentity(adapter));
    }
    QStringList shared;
    for (auto it = reportedBy.cbegin(); it != reportedBy.cend(); ++it) {
        if (it.value().size() > 1)
            shared << it.key();
    }
    return shared;
}

void setAdapterRoots(const QString &stableNamesRoot, const QString &sysClassTtyRoot)
{
    const QMutexLocker lock(&g_rootsMutex);
    g_roots = {stableNamesRoot, sysClassTtyRoot};
}

} // namespace korva
