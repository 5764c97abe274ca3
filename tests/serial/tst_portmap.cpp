#include "serial/portmap.h"
#include "serial/settingsstore.h"

#include "testsettings.h"

#include <QFileInfo>
#include <QTest>

using namespace korva;

class TestPortMap : public QObject
{
    Q_OBJECT

private slots:
    void init() { removeSettingsFile(); }
    void cleanup() { setSystemPortSource({}); }

    void naturalLessPairs_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        const auto pair = [](const char *name, const char *a, const char *b) {
            QTest::newRow(name) << QString(a) << QString(b);
        };
        pair("digit run by value", "ttyS2", "ttyS10");
        pair("prefix first", "ttyS", "ttyS0");
        pair("letters before the run", "ttyACM9", "ttyUSB0");
        pair("long numbers", "ttyS99999999999999999998", "ttyS99999999999999999999");
        pair("leading zeros equal value, total order", "ttyS01", "ttyS1");
        pair("second run decides", "port1-2", "port1-10");
    }

    void naturalLessPairs()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QVERIFY(naturalLess(a, b));
        QVERIFY(!naturalLess(b, a));
        QVERIFY(!naturalLess(a, a));
    }

    void systemPortNumbers_data()
    {
        QTest::addColumn<QStringList>("listed");      // as the system lists them
        QTest::addColumn<QStringList>("vendorNames"); // ports that carry a vendor id
        QTest::addColumn<QStringList>("numbered");    // the devices of 1, 2, ... in order

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
        QTest::newRow("none") << QStringList{} << QStringList{} << QStringList{};
    }

    void systemPortNumbers()
    {
        QFETCH(QStringList, listed);
        QFETCH(QStringList, vendorNames);
        QFETCH(QStringList, numbered);

        setSystemPortSource([&] {
            QList<SystemPort> ports;
            for (const QString &name : listed)
                ports.append({name,
                              {"/dev/" + name, vendorNames.contains(name) ? "Adapter" : ""},
                              vendorNames.contains(name)});
            return ports;
        });
        for (int number = 1; number <= numbered.size(); ++number) {
            const QString name = numbered[number - 1];
            QCOMPARE(std::get<PortDevice>(deviceForPort(number)).path, "/dev/" + name);
            QCOMPARE(describePort(number),
                     vendorNames.contains(name) ? "/dev/" + name + " (Adapter)" : "/dev/" + name);
        }
        for (int number : {0, -1, int(numbered.size()) + 1}) {
            const auto none = deviceForPort(number);
            QCOMPARE(std::get<PortFailure>(none).kind, PortFailure::Kind::InvalidPort);
            QCOMPARE(describePort(number), "no device");
        }

        // An entry of [Ports] takes its number from the system's port, and only that number.
        mapPort(1, "/dev/pts/77");
        QCOMPARE(std::get<PortDevice>(deviceForPort(1)).path, "/dev/pts/77");
        if (numbered.size() > 1)
            QCOMPARE(std::get<PortDevice>(deviceForPort(2)).path, "/dev/" + numbered[1]);
    }

    void portEntries_data();

    // A [Ports] entry opens exactly what it says or is an error naming it, never
    // another device; saving the settings keeps what each entry says.
    void portEntries()
    {
        QFETCH(QByteArray, written);
        QFETCH(QString, path);
        QFETCH(QString, afterSave);

        setSystemPortSource([] { return QList<SystemPort>{{"ttyS0", {"/dev/ttyS0", {}}, false}}; });
        QFile file(settingsFilePath());
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Ports]\n; the module\n3=" + written + "\n");
        file.close();

        for (const QString &expected : {path, afterSave}) {
            const auto found = deviceForPort(3);
            if (expected.isEmpty()) {
                const auto &failure = std::get<PortFailure>(found);
                QCOMPARE(failure.kind, PortFailure::Kind::Other);
                QVERIFY2(failure.description.startsWith("The [Ports] entry 3 in "),
                         qPrintable(failure.description));
                QCOMPARE(describePort(3), failure.description);
            } else {
                QCOMPARE(std::get<PortDevice>(found).path, expected);
            }
            QVERIFY(savePortSettings({"5", "9600"}).isEmpty());
        }
    }
};

// Defined here, as moc does not read raw strings inside a class.
void TestPortMap::portEntries_data()
{
    QTest::addColumn<QByteArray>("written"); // the entry's value as a person writes it
    QTest::addColumn<QString>("path");       // the device it names; empty: names none
    QTest::addColumn<QString>("afterSave");  // what it names once the tool has saved
    const auto entry = [](const char *name, const char *written, const char *path,
                          const char *afterSave) {
        QTest::newRow(name) << QByteArray(written) << QString(path) << QString(afterSave);
    };
    entry("plain", "  /dev/pts/4  ", "/dev/pts/4", "/dev/pts/4");
    entry("comma", "/tmp/mod,em", "/tmp/mod,em", "/tmp/mod,em");
    entry("comma and space", "/tmp/mod, em", "/tmp/mod, em", "/tmp/mod, em");
    entry("semicolon", "/tmp/mod;em", "/tmp/mod;em", "/tmp/mod;em");
    entry("quoted", R"("/tmp/a;b,c\"d\\e")", R"(/tmp/a;b,c"d\e)", R"(/tmp/a;b,c"d\e)");
    entry("escaped backslash", R"(/tmp/a\\b)", R"(/tmp/a\b)", R"(/tmp/a\b)");
    entry("lone backslash", R"(C:\dev\tty)", "", R"(C:\dev\tty)");
    entry("escape and comma", R"(/tmp/a\\b,c)", "", R"(/tmp/a\\b,c)");
    entry("unbalanced quote", R"(/tmp/a"b)", "", R"(/tmp/a"b)");
    entry("empty", "", "", "");
}

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
