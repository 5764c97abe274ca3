#include "moduleemulator.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

using korva::emu::ModuleEmulator;

namespace
{

const QByteArray kEnter = QByteArrayLiteral("+++");
const QByteArray kLeave = QByteArrayLiteral("---");
const QByteArray kUnitB = QByteArray::fromHex("0102030411121314064000101003A3");

// Writes one burst and lets the emulator's 20 ms burst silence pass.
void send(QSerialPort &port, const QByteArray &bytes)
{
    port.write(bytes);
    QVERIFY(port.waitForBytesWritten(1000));
    QTest::qWait(60);
}

// "+++" and the configuration the module answers with, then "---".
QByteArray request(QSerialPort &port)
{
    port.readAll();
    port.write(kEnter);
    QByteArray answer;
    while (answer.size() < ModuleEmulator::kConfigSize && port.waitForReadyRead(1000))
        answer += port.readAll();
    send(port, kLeave);
    return answer;
}

bool openLine(QSerialPort &port, const QString &path)
{
    port.setPortName(path);
    return port.open(QIODevice::ReadWrite) && port.setBaudRate(38400);
}

} // namespace

class TestUnitSwap : public QObject
{
    Q_OBJECT

private slots:
    void keptBytesKeepTheirOldValue();
    void newUnitAppearsBehindTheLink();
};

void TestUnitSwap::keptBytesKeepTheirOldValue()
{
    ModuleEmulator emulator;
    emulator.setKeptBytes({8, 9, 14});
    QSerialPort port;
    QVERIFY(openLine(port, emulator.devicePath()));

    send(port, kEnter);
    send(port, kUnitB);
    send(port, kLeave);

    QByteArray expected = kUnitB;
    expected.replace(8, 2, ModuleEmulator::kDefaultConfig.mid(8, 2));
    expected[14] = ModuleEmulator::kDefaultConfig.at(14);
    QCOMPARE(emulator.config().toHex(' '), expected.toHex(' '));
}

// A unit written to is taken off the line once the tool has left it alone for
// the swap time; the link then names nothing until the next unit is attached.
void TestUnitSwap::newUnitAppearsBehindTheLink()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("unit"));
    ModuleEmulator emulator;
    emulator.setLinkPath(link);
    QCOMPARE(QFileInfo(link).symLinkTarget(), emulator.devicePath());
    const QString firstDevice = emulator.devicePath();
    emulator.setUnitSwap(300, kUnitB);

    QSerialPort port;
    QVERIFY(openLine(port, link));
    QCOMPARE(request(port).toHex(), ModuleEmulator::kDefaultConfig.toHex());
    // A request alone does not make the unit leave.
    QTest::qWait(450);
    QVERIFY(emulator.isOpen());

    send(port, kEnter);
    send(port, QByteArray(ModuleEmulator::kConfigSize, '\x05'));
    send(port, kLeave);
    QTRY_VERIFY_WITH_TIMEOUT(!emulator.isOpen(), 2000);
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(!QFileInfo::exists(firstDevice) || emulator.devicePath() != firstDevice);
    port.close();

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), 2000);
    QCOMPARE(QFileInfo(link).symLinkTarget(), emulator.devicePath());
    QVERIFY(openLine(port, link));
    QCOMPARE(request(port).toHex(), kUnitB.toHex());
    port.close();

    // Attached by hand: the link follows again.
    QVERIFY(emulator.plugInNewUnit(ModuleEmulator::kDefaultConfig));
    QVERIFY(openLine(port, link));
    QCOMPARE(request(port).toHex(), ModuleEmulator::kDefaultConfig.toHex());
}

QTEST_GUILESS_MAIN(TestUnitSwap)
#include "tst_unitswap.moc"
