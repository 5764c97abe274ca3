#include "serial/portmap.h"

#include "teststore.h"

#include <QTest>

using namespace korva;

class TestPortMap : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { test::sandboxStore(m_scratch); }
    void init() { test::clearStore(); }

    void naturalLessPairs_data();
    void naturalLessPairs();
    void systemPortOrder_data();
    void systemPortOrder();
    void describeDeviceTexts_data();
    void describeDeviceTexts();
    void storedPortIsUsedAsItStands();
    void numbersBelowOneHaveNoDevice();
    void unmappedNumberBeyondSystemPortsHasNoDevice();

private:
    QTemporaryDir m_scratch;
};

void TestPortMap::naturalLessPairs_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::newRow("digit run by value") << "ttyS2"
                                        << "ttyS10";
    QTest::newRow("prefix first") << "ttyS"
                                  << "ttyS0";
    QTest::newRow("letters before the run") << "ttyACM9"
                                            << "ttyUSB0";
    QTest::newRow("long numbers") << "ttyS99999999999999999998"
                                  << "ttyS99999999999999999999";
    QTest::newRow("leading zeros equal value, total order") << "ttyS01"
                                                            << "ttyS1";
    QTest::newRow("second run decides") << "port1-2"
                                        << "port1-10";
}

void TestPortMap::naturalLessPairs()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QVERIFY(naturalLess(a, b));
    QVERIFY(!naturalLess(b, a));
    QVERIFY(!naturalLess(a, a));
}

void TestPortMap::systemPortOrder_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("vendorNames"); // ports that carry a vendor id
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("built-in ports in natural order")
        << QStringList{"ttyS10", "ttyS2", "ttyS0", "ttyS1"} << QStringList{}
        << QStringList{"ttyS0", "ttyS1", "ttyS2", "ttyS10"};
    QTest::newRow("usb and acm adapters first")
        << QStringList{"ttyS0", "ttyUSB1", "ttyAMA0", "ttyACM0", "ttyUSB0", "ttyS1"}
        << QStringList{}
        << QStringList{"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyAMA0", "ttyS0", "ttyS1"};
    QTest::newRow("vendor id makes an adapter")
        << QStringList{"ttyS0", "ttyXRUSB0", "ttyUSB10", "ttyUSB2"} << QStringList{"ttyXRUSB0"}
        << QStringList{"ttyUSB2", "ttyUSB10", "ttyXRUSB0", "ttyS0"};
    QTest::newRow("empty") << QStringList{} << QStringList{} << QStringList{};
}

void TestPortMap::systemPortOrder()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, vendorNames);
    QFETCH(QStringList, expected);

    QList<SystemPort> ports;
    for (const QString &name : names) {
        ports.append(SystemPort{name, PortDevice{"/dev/" + name, {}}, vendorNames.contains(name)});
    }
    QStringList ordered;
    for (const SystemPort &port : orderSystemPorts(ports)) {
        QCOMPARE(port.device.path, "/dev/" + port.name);
        ordered.append(port.name);
    }
    QCOMPARE(ordered, expected);
}

void TestPortMap::describeDeviceTexts_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("expected");
    QTest::newRow("with description") << true << "/dev/ttyUSB0"
                                      << "FT232R USB UART"
                                      << "/dev/ttyUSB0 (FT232R USB UART)";
    QTest::newRow("without description") << true << "/dev/pts/4" << QString() << "/dev/pts/4";
    QTest::newRow("none") << false << QString() << QString() << "no device";
}

void TestPortMap::describeDeviceTexts()
{
    QFETCH(bool, present);
    QFETCH(QString, path);
    QFETCH(QString, description);
    QFETCH(QString, expected);
    const auto device = present ? std::optional(PortDevice{path, description}) : std::nullopt;
    QCOMPARE(describeDevice(device), expected);
}

void TestPortMap::storedPortIsUsedAsItStands()
{
    test::registerPort(3, "/dev/pts/77");
    test::registerPort(12, "ttyWeird0");

    const auto three = deviceForPort(3);
    QVERIFY(three);
    QCOMPARE(three->path, "/dev/pts/77");
    QCOMPARE(describePort(3), "/dev/pts/77");
    QCOMPARE(deviceForPort(12)->path, "ttyWeird0");

    // A mapping belongs to its number only.
    const auto four = deviceForPort(4);
    QVERIFY(!four || four->path != "/dev/pts/77");
}

void TestPortMap::numbersBelowOneHaveNoDevice()
{
    test::registerPort(0, "/dev/pts/77");
    QVERIFY(!deviceForPort(0));
    QVERIFY(!deviceForPort(-1));
    QCOMPARE(describePort(0), "no device");
}

void TestPortMap::unmappedNumberBeyondSystemPortsHasNoDevice()
{
#ifdef Q_OS_WIN
    QSKIP("every number is a COM port on Windows");
#endif
    QVERIFY(!deviceForPort(9999));
    QCOMPARE(describePort(9999), "no device");
}

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
