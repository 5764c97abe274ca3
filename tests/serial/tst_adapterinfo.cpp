#include "cli/output.h"
#include "serial/adapterinfo.h"
#include "serial/portmap.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

using namespace korva;

namespace
{

// A pseudo-terminal's device path, open while the object lives.
class Pty
{
public:
    Pty() : m_fd(::posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (m_fd >= 0 && ::grantpt(m_fd) == 0 && ::unlockpt(m_fd) == 0)
            m_path = QString::fromLocal8Bit(::ptsname(m_fd));
    }
    ~Pty()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    QString path() const { return m_path; }

private:
    int m_fd;
    QString m_path;
};

bool write(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(text) == text.size();
}

bool link(const QString &target, const QString &linkPath)
{
    return QDir().mkpath(QFileInfo(linkPath).path()) && QFile::link(target, linkPath);
}

// Writes the attributes of a USB device in the fake sysfs.
bool writeUsbDevice(const QString &folder, const QByteArray &serial)
{
    return write(folder + "/idVendor", "0403\n") && write(folder + "/idProduct", "6001\n") &&
           write(folder + "/manufacturer", "FTDI\n") &&
           write(folder + "/product", "FT232R USB UART\n") && write(folder + "/serial", serial);
}

// What a function writes to standard error meanwhile.
QByteArray standardErrorOf(const std::function<void()> &run)
{
    QTemporaryFile capture;
    if (!capture.open())
        return {};
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    run();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    capture.seek(0);
    return capture.readAll();
}

QStringList fields(const AdapterInfo &info)
{
    return {info.vendorId, info.productId,    info.manufacturer,
            info.product,  info.serialNumber, info.location};
}

} // namespace

class TestAdapterInfo : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        setAdapterRoots(QStringLiteral("/dev/serial"), QStringLiteral("/sys/class/tty"));
    }

    // A port named by any of its names is found with its stable names and what
    // its USB adapter reports, from a fake /dev/serial and sysfs tree.
    void adapterOfPort_data()
    {
        // The port's sysfs device under devices/, and the folder holding its USB
        // adapter's idVendor ("" for none); how the port is named: by-path, by-id,
        // ours or device.
        QTest::addColumn<QString>("sysDevice");
        QTest::addColumn<QString>("usbDevice");
        QTest::addColumn<QString>("named");
        QTest::addColumn<QStringList>("expected");
        const auto port = [](const char *row, const char *sysDevice, const char *usbDevice,
                             const char *named, const QStringList &expected) {
            QTest::newRow(row) << QString(sysDevice) << QString(usbDevice) << QString(named)
                               << expected;
        };
        const QStringList ftdi{"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "1-1.2:1.0"};
        port("USB serial, by its by-path name", "pci0/usb1/1-1/1-1.2/1-1.2:1.0/ttyUSB0",
             "pci0/usb1/1-1/1-1.2", "by-path", ftdi);
        port("USB serial, by its by-id name", "pci0/usb1/1-1/1-1.2/1-1.2:1.0/ttyUSB0",
             "pci0/usb1/1-1/1-1.2", "by-id", ftdi);
        port("the interface itself, as ttyACM, by a link of ours", "pci0/usb3/3-4/3-4:1.2",
             "pci0/usb3/3-4", "ours",
             {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "3-4:1.2"});
        port("built-in port", "platform/serial8250/tty/ttyS0", "", "device", QStringList(6));
        port("not in sysfs", "", "", "device", QStringList(6));
    }

    void adapterOfPort()
    {
        QFETCH(QString, sysDevice);
        QFETCH(QString, usbDevice);
        QFETCH(QString, named);
        QFETCH(QStringList, expected);
        Pty port;
        Pty other;
        QVERIFY(!port.path().isEmpty() && !other.path().isEmpty());
        QTemporaryDir root;
        const QString stable = root.filePath("serial");
        const QString sys = root.filePath("class/tty");
        setAdapterRoots(stable, sys);
        const QString byPath = stable + "/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0";
        const QString byId = stable + "/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        QVERIFY(link(port.path(), byPath));
        QVERIFY(link(port.path(), byId));
        QVERIFY(link(other.path(), stable + "/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"));
        QVERIFY(link(root.filePath("gone"), stable + "/by-id/usb-gone-if00-port0"));
        const QString name = QFileInfo(port.path()).fileName();
        if (!sysDevice.isEmpty()) {
            const QString devices = root.filePath("devices/");
            QVERIFY(QDir().mkpath(devices + sysDevice));
            QVERIFY(link(devices + sysDevice, sys + u'/' + name + "/device"));
        }
        if (!usbDevice.isEmpty())
            QVERIFY(writeUsbDevice(root.filePath("devices/" + usbDevice), "A50285BI\n"));
        const QString ours = root.filePath("slot3");
        QVERIFY(link(byPath, ours));
        const QString query = named == "by-path" ? byPath
                              : named == "by-id" ? byId
                              : named == "ours"  ? ours
                                                 : port.path();

        const AdapterInfo info = adapterInfo(query);
        QCOMPARE(info.device, port.path());
        QCOMPARE(info.byPath, QStringList{byPath});
        QCOMPARE(info.byId, QStringList{byId});
        QCOMPARE(fields(info), expected);
    }

    // A serial number is shared when two adapters report it, not when two ports
    // of one adapter do.
    void sharedSerialNumbers_data()
    {
        QTest::addColumn<QStringList>("ports"); // "serial@location" of each port
        QTest::addColumn<QStringList>("shared");
        QTest::newRow("two adapters, one number")
            << QStringList{"A5@1-1:1.0", "A5@1-2:1.0", "B7@1-3:1.0"} << QStringList{"A5"};
        QTest::newRow("two ports of one adapter")
            << QStringList{"FT4@1-1:1.0", "FT4@1-1:1.1"} << QStringList{};
        QTest::newRow("adapters without a number")
            << QStringList{"@1-1:1.0", "@1-2:1.0"} << QStringList{};
    }

    void sharedSerialNumbers()
    {
        QFETCH(QStringList, ports);
        QFETCH(QStringList, shared);
        QList<AdapterInfo> adapters;
        for (const QString &port : ports) {
            AdapterInfo adapter;
            adapter.device = "/dev/ttyUSB" + QString::number(adapters.size());
            adapter.vendorId = "0403";
            adapter.productId = "6001";
            adapter.serialNumber = port.section(u'@', 0, 0);
            adapter.location = port.section(u'@', 1);
            adapters << adapter;
        }
        QCOMPARE(korva::sharedSerialNumbers(adapters), shared);
    }

    // korva-cli ports shows each port's stable names and adapter, and warns on
    // standard error of two adapters that report one serial number.
    void portsListing()
    {
        Pty first;
        Pty second;
        QTemporaryDir root;
        setAdapterRoots(root.filePath("serial"), root.filePath("class/tty"));
        QStringList byPath;
        for (const Pty *port : {&first, &second}) {
            const QString usb = root.filePath("devices/usb1/1-%1").arg(byPath.size() + 1);
            const QString port0 = usb + QStringLiteral("/1-%1:1.0/ttyUSB").arg(byPath.size() + 1);
            QVERIFY(writeUsbDevice(usb, "A50285BI\n"));
            QVERIFY(QDir().mkpath(port0));
            QVERIFY(link(port0, root.filePath("class/tty/") + QFileInfo(port->path()).fileName() +
                                    "/device"));
            byPath << root.filePath("serial/by-path/pci-usb-0:%1:1.0-port0").arg(byPath.size() + 1);
            QVERIFY(link(port->path(), byPath.last()));
        }
        // udev gives the one by-id name to whichever adapter came last.
        const QString byId =
            root.filePath("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        QVERIFY(link(second.path(), byId));
        setSystemPortSource([&] {
            return QList<SystemPort>{{"ttyUSB0", {first.path(), "FT232R USB UART"}, true},
                                     {"ttyUSB1", {second.path(), "FT232R USB UART"}, true}};
        });

        QString text;
        const QByteArray warning =
            standardErrorOf([&] { text = cli::formatPorts(cli::Format::Text); });
        QString json;
        standardErrorOf([&] { json = cli::formatPorts(cli::Format::Json); });
        const QJsonArray listed = QJsonDocument::fromJson(json.toUtf8())["system"].toArray();
        setSystemPortSource({});
        QCOMPARE(listed.size(), 2);
        QCOMPARE(listed[1]["by-path"].toArray(), QJsonArray{byPath[1]});
        QCOMPARE(listed[1]["by-id"].toArray(), QJsonArray{byId});
        QCOMPARE(listed[0]["location"].toString(), QStringLiteral("1-1:1.0"));
        QVERIFY2(text.contains(QStringLiteral("  %1  FT232R USB UART  FTDI  0403:6001  serial "
                                              "A50285BI  at USB 1-1:1.0\n    %2\n")
                                   .arg(first.path(), byPath[0])),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("    %1\n    %2\n").arg(byPath[1], byId)),
                 qPrintable(text));
        QCOMPARE(warning, QStringLiteral("korva-cli: warning: %1, %2 report the same serial number "
                                         "A50285BI, so their /dev/serial/by-id names collide; name "
                                         "their slots by /dev/serial/by-path instead\n")
                              .arg(first.path(), second.path())
                              .toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestAdapterInfo)
#include "tst_adapterinfo.moc"
