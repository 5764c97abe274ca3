#include "moduleemulator.h"
#include "session.h"
#include "wirepackets.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using korva::emu::ModuleEmulator;
using korva::emu::WireBurst;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 90000;
constexpr int kSwapMs = 800;
constexpr quint32 kFirstAddress = 0x200;

struct UnitLine {
    QString device;
    quint32 address = 0;
    bool packetLeft = false;
    bool passed = false;
    QString errorClass;
};

QList<UnitLine> unitLines(const QByteArray &out)
{
    QList<UnitLine> units;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject unit = QJsonDocument::fromJson(line).object();
        units << UnitLine{
            unit.value("device").toString(), unit.value("address").toString().toUInt(nullptr, 16),
            unit.value("packet-left").toBool(), unit.value("result").toString() == "passed",
            unit.value("error-class").toString()};
    }
    return units;
}

// Every pause on one line at least as long as a single port alone keeps it.
void checkGaps(const ModuleEmulator &emulator)
{
    const QList<WireBurst> sent = sentBursts(emulator);
    for (qsizetype i = 0; i + 1 < sent.size(); ++i) {
        const QByteArray &now = sent.at(i).bytes;
        const QByteArray &next = sent.at(i + 1).bytes;
        int pauseMs = 0;
        if (now == "+++")
            pauseMs = next.size() == ModuleEmulator::kConfigSize ? 200 : 100;
        else if (now.size() == ModuleEmulator::kConfigSize)
            pauseMs = 200;
        else if (now == "---" && i > 0 &&
                 sent.at(i - 1).bytes.size() == ModuleEmulator::kConfigSize)
            pauseMs = 500;
        QVERIFY2(gapAtLeast(sent.at(i), sent.at(i + 1), pauseMs),
                 qPrintable(QStringLiteral("%1 ms after %2 at %3 us")
                                .arg(pauseMs)
                                .arg(QString::fromLatin1(now.toHex()))
                                .arg(sent.at(i).lastUsec)));
    }
}

} // namespace

class TestProvisionSlots : public QObject
{
    Q_OBJECT

private slots:
    // Several slots at once, each on a line whose units are swapped after they
    // are programmed: every unit is written once with an address of its own,
    // --count is the total over the slots, and each line keeps its pauses.
    void slotsAtOnce_data()
    {
        QTest::addColumn<int>("slotCount");
        QTest::addColumn<int>("count"); // 0: until stopped after that many lines
        QTest::addColumn<QString>("fault");
        QTest::newRow("two slots") << 2 << 6 << "";
        QTest::newRow("four slots") << 4 << 12 << "";
        QTest::newRow("four slots, one adapter gone mid-unit") << 4 << 8 << "vanish";
        QTest::newRow("four slots, stopped") << 4 << 0 << "stop";
    }

    void slotsAtOnce()
    {
        QFETCH(int, slotCount);
        QFETCH(int, count);
        QFETCH(QString, fault);
        QTemporaryDir dir;
        const QString profile = dir.filePath("profile.json");
        QFile file(profile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"tx-power": "-21 dBm"})");
        file.close();
        std::vector<std::unique_ptr<ModuleEmulator>> lines;
        QStringList arguments{"provision",
                              "--profile",
                              profile,
                              "--ledger",
                              dir.filePath("ledger.sqlite"),
                              "--local-address-from",
                              QStringLiteral("%1").arg(kFirstAddress, 8, 16, QLatin1Char('0')),
                              "-q"};
        for (int i = 0; i < slotCount; ++i) {
            lines.push_back(std::make_unique<ModuleEmulator>());
            lines.back()->setLinkPath(dir.filePath(QStringLiteral("slot%1").arg(i + 1)));
            lines.back()->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
            arguments << "--port" << dir.filePath(QStringLiteral("slot%1").arg(i + 1));
        }
        if (count > 0)
            arguments << "--count" << QString::number(count);
        ModuleEmulator &first = *lines.front();
        int toFirst = 0;
        if (fault == "vanish") {
            // The first line goes the moment its first packet is through.
            first.setByteObserver([&](const WireByte &byte) {
                if (byte.direction == WireByte::Direction::ToModule &&
                    ++toFirst == 9 + ModuleEmulator::kConfigSize)
                    first.hangUp();
            });
        }

        QProcess process;
        process.start(QStringLiteral(KORVA_CLI_PROGRAM), arguments);
        QVERIFY(process.waitForStarted());
        QByteArray out;
        if (fault == "vanish") {
            QTRY_VERIFY_WITH_TIMEOUT(!first.isOpen(), kFinishMs);
            QTest::qWait(1000);
            QVERIFY(first.plugInNewUnit(ModuleEmulator::kDefaultConfig));
        } else if (fault == "stop") {
            QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') >= 6,
                                     kFinishMs);
            ::kill(pid_t(process.processId()), SIGTERM);
        }
        QVERIFY(process.waitForFinished(kFinishMs));
        first.setByteObserver({});
        out += process.readAllStandardOutput();
        const QList<UnitLine> units = unitLines(out);

        QSet<quint32> addresses;
        int failed = 0;
        for (const UnitLine &unit : units) {
            QVERIFY(unit.packetLeft);
            addresses.insert(unit.address);
            failed += !unit.passed;
        }
        QCOMPARE(addresses.size(), units.size());
        if (count > 0) {
            QCOMPARE(units.size(), count);
            QCOMPARE(*std::max_element(addresses.begin(), addresses.end()),
                     kFirstAddress + quint32(count) - 1);
        }
        if (fault == "vanish") {
            QCOMPARE(failed, 1);
            QCOMPARE(process.exitCode(), 1);
        } else if (fault.isEmpty()) {
            QCOMPARE(failed, 0);
            QCOMPARE(process.exitCode(), 0);
        } else {
            QCOMPARE(process.exitCode(), failed > 0 ? 1 : 0);
        }

        QSet<quint32> onTheWire;
        for (int i = 0; i < slotCount; ++i) {
            const ModuleEmulator &line = *lines[size_t(i)];
            const QString link = dir.filePath(QStringLiteral("slot%1").arg(i + 1));
            QList<quint32> recorded;
            for (const UnitLine &unit : units) {
                if (unit.device == link)
                    recorded << unit.address;
            }
            QCOMPARE(packetAddresses(line), recorded);
            for (const quint32 address : packetAddresses(line))
                onTheWire.insert(address);
            checkGaps(line);
            QTRY_VERIFY(!line.inCommandMode());
        }
        QCOMPARE(onTheWire, addresses);
    }
};

QTEST_GUILESS_MAIN(TestProvisionSlots)
#include "tst_provisionslots.moc"
