#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace korva
{

// What the system knows of one serial port: its stable names and, for a USB
// adapter, what the adapter reports. Read from sysfs and the links udev makes,
// never by listing every port, so it is cheap for one device.
struct AdapterInfo {
    QString device;       // the canonical device path, e.g. "/dev/ttyUSB0"
    QStringList byPath;   // links under <root>/by-path that resolve to it
    QStringList byId;     // links under <root>/by-id that resolve to it
    QString vendorId;     // 4 lower-case hex digits, empty when unknown
    QString productId;    // 4 lower-case hex digits, empty when unknown
    QString manufacturer; // from sysfs, empty when unknown
    QString product;
    QString serialNumber;
    QString location; // the USB port path, e.g. "1-1.2:1.0", empty when unknown
};

// The port a path names; the path may be a link (by-path, by-id, one of ours).
// Safe to call from any thread.
AdapterInfo adapterInfo(const QString &path);

// Every serial port the system lists, in the order of the port numbers.
QList<AdapterInfo> systemAdapters();

// Serial numbers reported by more than one adapter: their by-id names collide.
// The ports of one multi-port adapter share its serial number and count once.
QStringList sharedSerialNumbers(const QList<AdapterInfo> &adapters);

// Where the stable names and sysfs are read from: "/dev/serial" and
// "/sys/class/tty" unless tests point them elsewhere.
void setAdapterRoots(const QString &stableNamesRoot, const QString &sysClassTtyRoot);

} // namespace korva
