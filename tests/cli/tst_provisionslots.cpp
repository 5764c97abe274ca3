#include "moduleemulator.h"
#include "provisioning.h"
#include "session.h"

#include <QFile>
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
        const QList<QJsonObject> units = unitRecords(out);
        const auto addressOf = [](const QJsonObject &unit) {
            return unit.value("address").toString().toUInt(nullptr, 16);
        };

        QSet<quint32> addresses;
        int failed = 0;
        for (const QJsonObject &unit : units) {
            QVERIFY(unit.value("packet-left").toBool());
            addresses.insert(addressOf(unit));
            failed += unit.value("result") != "passed";
        }
        QCOMPARE(addresses.size(), units.size());
        if (count > 0) {
            QCOMPARE(units.size(), count);
            QCOMPARE(*std::max_element(addresses.begin(), addresses.end()),
                     kFirstAddress + quint32(count) - 1);
        }
        if (fault != "stop")
            QCOMPARE(failed, fault == "vanish" ? 1 : 0);
        QCOMPARE(process.exitCode(), failed > 0 ? 1 : 0);

        QSet<quint32> onTheWire;
        for (int i = 0; i < slotCount; ++i) {
            const ModuleEmulator &line = *lines[size_t(i)];
            const QString link = dir.filePath(QStringLiteral("slot%1").arg(i + 1));
            QList<quint32> recorded;
            for (const QJsonObject &unit : units) {
                if (unit.value("device") == link)
                    recorded << addressOf(unit);
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
