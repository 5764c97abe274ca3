#include "cliprocess.h"
#include "moduleemulator.h"
#include "serial/mscomm.h"
#include "testsettings.h"
#include "wire.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pty.h>
#include <unistd.h>

using korva::emu::ModuleEmulator;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 20000;

// 7F7F7F7F 01020304 0620 with Tx Power -21 dBm (code 7) instead of 0 dBm.
const QByteArray kPacket = QByteArray::fromHex("7F7F7F7F010203040620071E1E0023");
// What a write of kPacket puts on the wire, command-mode strings included.
const QByteArray kWriteBytes = "+++---+++" + kPacket + "---+++---";
// The block reset-defaults writes onto the module the emulator starts with.
const QByteArray kDefaults = QByteArray::fromHex("00000000000000000620001E1E0023");

// The state letter of a process ("T" while stopped).
char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return '?';
    const QByteArray line = stat.readAll();
    const qsizetype name = line.lastIndexOf(')');
    return name >= 0 && name + 2 < line.size() ? line.at(name + 2) : '?';
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        removeSettingsFile();
        m_emulator = std::make_unique<ModuleEmulator>();
        QVERIFY(m_emulator->isOpen());
    }

    // Every verb against the module: its exit code, what it printed and what went
    // on the wire ("R" stands for the read's "+++" and "---").
    void verbs_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("output"); // parts of stdout + stderr
        QTest::addColumn<QList<QByteArray>>("wire");
        const QByteArray on = "+++", off = "---";
        const QList<QByteArray> read{on, off};
        const auto writing = [&](const QByteArray &packet) {
            return QList<QByteArray>{on, off, on, packet, off, on, off};
        };
        const QList<QByteArray> write = writing(kPacket);
        const QStringList setPower{"--set", "tx-power=-21 dBm"};

        QTest::newRow("read text") << QStringList{"read"} << "" << 0
                                   << QStringList{"RF Frequency         433.920   06 20"} << read;
        QTest::newRow("read hex") << QStringList{"read", "--format", "hex"} << "" << 0
                                  << QStringList{"7F7F7F7F010203040620001E1E0023\n"} << read;
        QTest::newRow("read 868") << QStringList{"read", "--band", "868mhz"} << "" << 0
                                  << QStringList{"867.840"} << read;
        QTest::newRow("a code outside the list")
            << QStringList{"read"} << "raw" << 0
            << QStringList{"RF TX Speed          0x16 (not in the list)  16"} << read;
        QTest::newRow("no answer, one retry")
            << QStringList{"read"} << "silent" << 4
            << QStringList{"No Response from Modem. Check Comms Port & Baud rate (/dev/",
                           " from --port, 38400 baud from the default)"}
            << QList<QByteArray>{on, off, on, off};
        QTest::newRow("short answer")
            << QStringList{"read", "--retries", "0", "--baud", "38400"} << "short" << 4
            << QStringList{"a short answer: 9 of 15 bytes (/dev/", "38400 baud from --baud)"}
            << read;
        QTest::newRow("no device")
            << QStringList{"read", "--port", "9"} << "" << 3
            << QStringList{"Please select a valid comms port"} << QList<QByteArray>{};
        QTest::newRow("no port number")
            << QStringList{"read", "--port", "0"} << "" << 2
            << QStringList{"port 0 from --port is no port number"} << QList<QByteArray>{};
        QTest::newRow("write") << QStringList{"write"} + setPower << "" << 0
                               << QStringList{"Tx Power             -21 dBm   07",
                                              "written: 7F 7F 7F 7F 01 02 03 04 06 20 07 1E 1E 00 "
                                              "23",
                                              "all fields match\n"}
                               << write;
        QTest::newRow("write as JSON")
            << QStringList{"write", "--format", "json"} + setPower << "" << 0
            << QStringList{"\"result\": \"matches\"", "\"differences\": [\n    ]"} << write;
        QTest::newRow("write ignored")
            << QStringList{"write"} + setPower << "ignore" << 1
            << QStringList{"tx-power: written -21 dBm, the module holds 0 dBm\n1 field differs\n"}
            << write;
        QTest::newRow("write ignored, no verify") << QStringList{"write", "--no-verify"} + setPower
                                                  << "ignore" << 0 << QStringList{"0 dBm"} << write;
        QTest::newRow("refused value")
            << QStringList{"write", "--set", "rf-frequency=600"} + setPower << "" << 2
            << QStringList{"rf-frequency: Incorrect Frequency value (433Mhz takes 430.000 to "
                           "593.838 MHz)"}
            << QList<QByteArray>{};
        QTest::newRow("dry run") << QStringList{"write", "--dry-run"} + setPower << "" << 0
                                 << QStringList{"packet: 7F 7F 7F 7F 01 02 03 04 06 20 07 1E 1E 00 "
                                                "23\ntx-power: 0 dBm -> -21 dBm\ndry run: "
                                                "nothing was written\n"}
                                 << read;
        QTest::newRow("dry run as JSON")
            << QStringList{"write", "--dry-run", "--format", "json", "--set", "rf-frequency=434.1"}
            << "" << 0
            << QStringList{"\"dry-run\": true",
                           "\"from\": \"433.920\",\n            \"key\": \"rf-frequency\",\n     "
                           "       \"to\": \"434.100\""}
            << read;
        QTest::newRow("between two channels")
            << QStringList{"write", "--dry-run", "--set", "rf-frequency=433.9215"} << "" << 0
            << QStringList{"rf-frequency: 433.9215 MHz lies between two channels; the module "
                           "takes 433.920"}
            << read;
        QTest::newRow("verify same")
            << QStringList{"verify", "--set", "local-address=1:2:3:4"} << "" << 0
            << QStringList{"01020304", "all fields match"} << read;
        QTest::newRow("verify differs")
            << QStringList{"verify", "--set", "rf-frequency=434.5", "--set", "tx-power=0 dbm"} << ""
            << 1
            << QStringList{"rf-frequency: expected 434.500, the module holds 433.920\n1 field "
                           "differs\n"}
            << read;
        QTest::newRow("verify as JSON")
            << QStringList{"verify", "--format", "json", "--set", "rf-tx-speed=9600 bps"} << "raw"
            << 1
            << QStringList{"\"result\": \"differs\"",
                           "\"actual\": \"0x16\",\n            \"expected\": \"9600 bps\",\n     "
                           "       \"key\": \"rf-tx-speed\""}
            << read;
        QTest::newRow("write beside a code outside the list")
            << QStringList{"write"} + setPower << "raw" << 0
            << QStringList{"the module holds RF TX Speed code 0x16, not in the list; it is "
                           "written back as it is",
                           "all fields match"}
            << writing(QByteArray(kPacket).replace(14, 1, "\x16"));
        QTest::newRow("verify a code outside the list")
            << QStringList{"verify", "--set", "rf-tx-speed=9600 bps"} << "raw" << 1
            << QStringList{"rf-tx-speed: expected 9600 bps, the module holds code 0x16, not in "
                           "the list"}
            << read;
        QTest::newRow("reset defaults")
            << QStringList{"reset-defaults", "--yes", "--format", "hex"} << "" << 0
            << QStringList{"00000000000000000620001E1E0023"} << writing(kDefaults);
        QTest::newRow("reset asks") << QStringList{"reset-defaults"} << "" << 2
                                    << QStringList{"give --yes"} << QList<QByteArray>{};
    }
    void verbs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, behaviour);
        QFETCH(int, code);
        QFETCH(QStringList, output);
        QFETCH(QList<QByteArray>, wire);
        m_emulator->setSilent(behaviour == QLatin1String("silent"));
        m_emulator->setAnswerLength(behaviour == QLatin1String("short") ? 9 : -1);
        m_emulator->setIgnorePacket(behaviour == QLatin1String("ignore"));
        if (behaviour == QLatin1String("raw"))
            QVERIFY(m_emulator->setConfig(QByteArray::fromHex("7F7F7F7F010203040620001E1E0016")));
        if (!arguments.contains(QLatin1String("--port")))
            arguments << QStringLiteral("--port") << m_emulator->devicePath();

        const Outcome outcome = runCli(arguments);
        for (const QString &part : output)
            QVERIFY2((outcome.out + outcome.err).contains(part),
                     qPrintable(outcome.out + outcome.err));
        QCOMPARE(outcome.code, code);
        QTRY_COMPARE(bytesOf(sentBursts(*m_emulator)), wire);
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // What read prints as JSON is a profile, a code outside a list included:
    // writing it onto another module and verifying gives that module the same block.
    void jsonCloneRoundTrip()
    {
        const QByteArray source = QByteArray::fromHex("0A0B0C0D112233440640051E0C0316");
        QVERIFY(m_emulator->setConfig(source));
        const Outcome read = runCli(
            {"read", "--format", "json", "--band", "868Mhz", "--port", m_emulator->devicePath()});
        QCOMPARE(read.code, 0);
        QVERIFY2(read.out.contains("\"block\": \"0A0B0C0D112233440640051E0C0316\"") &&
                     read.out.contains("\"rf-tx-speed\": \"0x16\""),
                 qPrintable(read.out));
        QTemporaryDir dir;
        QFile profile(dir.filePath(QStringLiteral("unit.json")));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(read.out.toUtf8());
        profile.close();

        ModuleEmulator other;
        const QString port = other.devicePath();
        // A profile that gives every value needs nothing from the module for a
        // dry run, and its report names no port it did not use.
        const Outcome dryRun = runCli({"write", "--dry-run", "--format", "hex", "--profile",
                                       profile.fileName(), "--port", port});
        QCOMPARE(dryRun.out, QStringLiteral("0A0B0C0D112233440640051E0C0316\n"));
        QVERIFY2(dryRun.err.contains("the module was not read"), qPrintable(dryRun.err));
        const Outcome dryRunJson =
            runCli({"write", "--dry-run", "--format", "json", "--profile", profile.fileName()});
        QVERIFY2(dryRunJson.out.contains("\"dry-run\": true") &&
                     !dryRunJson.out.contains("\"port\"") && !dryRunJson.out.contains("\"baud\""),
                 qPrintable(dryRunJson.out));
        QVERIFY(other.receivedBytes().isEmpty());
        QCOMPARE(runCli({"write", "--profile", profile.fileName(), "--port", port}).code, 0);
        QCOMPARE(other.config(), source);
        QCOMPARE(runCli({"verify", "--profile", profile.fileName(), "--port", port}).code, 0);
        QCOMPARE(runCli({"read", "--format", "hex", "--port", port}).out,
                 QStringLiteral("0A0B0C0D112233440640051E0C0316\n"));
    }

    // The port map and the window's stored port and rate are shared with the window.
    void storedPortAndMap()
    {
        QCOMPARE(runCli({"read"}).code, 2);
        mapPort(4, m_emulator->devicePath());
        const Outcome ports = runCli({"ports"});
        QVERIFY2(ports.out.contains(QStringLiteral(" 4  ") + m_emulator->devicePath()),
                 qPrintable(ports.out));
        QSettings store(settingsFilePath(), QSettings::IniFormat);
        store.setValue(QStringLiteral("Settings/Port"), QStringLiteral("4"));
        store.setValue(QStringLiteral("Settings/BAUD"), QStringLiteral("9600"));
        store.sync();
        m_emulator->setRequiredBaud(9600);
        const Outcome read = runCli({"read", "--format", "json"});
        QCOMPARE(read.code, 0);
        QVERIFY2(read.out.contains("\"baud\": 9600"), qPrintable(read.out));
        m_emulator->setSilent(true);
        const Outcome silent = runCli({"read", "--retries", "0"});
        QVERIFY2(silent.err.contains(QStringLiteral("(port 4 (%1) from the stored setting, 9600 "
                                                    "baud from the stored setting)")
                                         .arg(m_emulator->devicePath())),
                 qPrintable(silent.err));
    }

    // A hang-up in any pause ends the run with 5; a signal in any step lets the
    // step under way finish and "---" follow every "+++". Either way the module
    // never sees half a packet. A stop after the packet lets the read-back
    // finish and the verdict stand (exit 0); a second signal ends at once, and
    // only a packet that left is reported, as not verified. SIGTSTP stops the
    // process only once the module is in data mode, and after SIGCONT the
    // write completes.
    void interruptedInEachStep_data()
    {
        QTest::addColumn<int>("signalNumber"); // 0: the line hangs up
        QTest::addColumn<int>("second");       // sent right after the first; 0: none
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QByteArray>("wire"); // at the end; for SIGTSTP, while stopped
        QTest::addColumn<bool>("ignored");    // started with the signal ignored (nohup)
        const QByteArray read = "+++";
        const QByteArray set = "+++---+++";
        const QByteArray sentPacket = set + kPacket;
        const QByteArray beforeReadBack = sentPacket + "---";

        QTest::newRow("hang-up in the read's pause") << 0 << 0 << read << read << false;
        QTest::newRow("hang-up before the packet") << 0 << 0 << set << set << false;
        QTest::newRow("hang-up after the packet") << 0 << 0 << sentPacket << sentPacket << false;
        QTest::newRow("hang-up before the read-back")
            << 0 << 0 << beforeReadBack << beforeReadBack << false;
        QTest::newRow("hang-up in the read-back's pause")
            << 0 << 0 << beforeReadBack + "+++" << beforeReadBack + "+++" << false;
        QTest::newRow("SIGINT in the read") << int(SIGINT) << 0 << read << read + "---" << false;
        QTest::newRow("SIGHUP before the packet")
            << int(SIGHUP) << 0 << set << set + "---" << false;
        QTest::newRow("SIGQUIT after the packet")
            << int(SIGQUIT) << 0 << sentPacket << kWriteBytes << false;
        QTest::newRow("SIGHUP before the read-back")
            << int(SIGHUP) << 0 << beforeReadBack << kWriteBytes << false;
        QTest::newRow("SIGTERM in the read-back")
            << int(SIGTERM) << 0 << beforeReadBack + "+++" << kWriteBytes << false;
        QTest::newRow("SIGINT, SIGTERM after the packet")
            << int(SIGINT) << int(SIGTERM) << sentPacket << beforeReadBack << false;
        QTest::newRow("SIGINT, SIGTERM before the read-back")
            << int(SIGINT) << int(SIGTERM) << beforeReadBack << beforeReadBack << false;
        QTest::newRow("SIGHUP under nohup") << int(SIGHUP) << 0 << set << kWriteBytes << true;
        QTest::newRow("SIGTSTP in the read") << int(SIGTSTP) << 0 << read << read + "---" << false;
        QTest::newRow("SIGTSTP between read and Set")
            << int(SIGTSTP) << 0 << read + "---" << read + "---" << false;
        QTest::newRow("SIGTSTP before the packet")
            << int(SIGTSTP) << 0 << set << beforeReadBack << false;
        QTest::newRow("SIGTSTP after the packet")
            << int(SIGTSTP) << 0 << sentPacket << beforeReadBack << false;
        QTest::newRow("SIGTSTP before the read-back")
            << int(SIGTSTP) << 0 << beforeReadBack << beforeReadBack << false;
        QTest::newRow("SIGTSTP in the read-back")
            << int(SIGTSTP) << 0 << beforeReadBack + "+++" << kWriteBytes << false;
    }
    void interruptedInEachStep()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, second);
        QFETCH(QByteArray, after);
        QFETCH(QByteArray, wire);
        QFETCH(bool, ignored);
        QProcess process;
        // A group of its own whose parent is in the session: a stop is not
        // discarded as it would be for an orphaned group.
        process.setChildProcessModifier([ignored, signalNumber] {
            ::setpgid(0, 0);
            if (ignored)
                ::signal(signalNumber, SIG_IGN);
        });
        startCli(process,
                 {"write", "--set", "tx-power=-21 dBm", "--port", m_emulator->devicePath()});
        QVERIFY(process.waitForStarted());
        const pid_t pid = pid_t(process.processId());
        QByteArray seen;
        m_emulator->setByteObserver(
            [this, &seen, after, pid, signalNumber, second](const WireByte &byte) {
                if (byte.direction != WireByte::Direction::ToModule)
                    return;
                seen.append(char(byte.value));
                if (seen == after && signalNumber == 0)
                    m_emulator->hangUp();
                else if (seen == after)
                    ::kill(pid, signalNumber);
                if (seen == after && second != 0)
                    ::kill(pid, second);
            });
        if (signalNumber == SIGTSTP) {
            QTRY_COMPARE_WITH_TIMEOUT(processState(pid), 'T', kFinishMs);
            QTRY_COMPARE(m_emulator->receivedBytes(), wire);
            // The module takes "---" once the line has been quiet after it.
            QTRY_VERIFY(!m_emulator->inCommandMode());
            QCOMPARE(processState(pid), 'T');
            ::kill(pid, SIGCONT);
        }
        const Outcome outcome = finish(process);
        m_emulator->setByteObserver({});
        const bool readBack = signalNumber != SIGTSTP && wire == kWriteBytes;
        const bool completes = signalNumber == SIGTSTP || readBack;
        // Two signals may be taken in either order, by two of the process's threads.
        if (second != 0 && outcome.code == 128 + second)
            std::swap(signalNumber, second);
        QCOMPARE(outcome.code, signalNumber == 0 ? 5 : completes ? 0 : 128 + signalNumber);
        QTRY_COMPARE(m_emulator->receivedBytes(), signalNumber == SIGTSTP ? kWriteBytes : wire);
        if (signalNumber != 0)
            QTRY_VERIFY(!m_emulator->inCommandMode());
        else
            QVERIFY2(outcome.err.contains("disconnected"), qPrintable(outcome.err));
        if (completes) {
            QVERIFY2(outcome.out.contains("all fields match"), qPrintable(outcome.out));
            QCOMPARE(outcome.err.contains("the write was read back before the end"),
                     readBack && !ignored);
            return;
        }
        QCOMPARE(outcome.err.contains("written: "), false);
        QCOMPARE(outcome.err.contains("the packet 7F 7F 7F 7F 01 02 03 04 06 20 07 1E 1E 00 "
                                      "23 was sent and not verified"),
                 wire.contains(kPacket));
    }

    // A result or a message that cannot be written whole (full disk, closed
    // pipe, file size limit) ends the run with 6, the module in data mode.
    void brokenOutput_data()
    {
        QTest::addColumn<QString>("command"); // bash; $CLI and $PORT are set
        QTest::addColumn<QList<QByteArray>>("wire");
        QTest::addColumn<QString>("message"); // a part of stderr, or empty
        const QList<QByteArray> read{"+++", "---"};

        QTest::newRow("JSON to a full disk")
            << "$CLI read --format json --port $PORT > /dev/full" << read
            << "standard output: No space left on device; the module is back in data mode";
        QTest::newRow("a closed pipe")
            << "$CLI read --port $PORT | :" << read << "standard output: Broken pipe";
        QTest::newRow("the file size limit")
            << "head -c 1000 /dev/zero > $OUT; ulimit -f 1; $CLI read --port $PORT >> $OUT" << read
            << "standard output: File too large";
        QTest::newRow("trace into a pipe closed in command mode")
            << "$CLI read --trace --port $PORT 2>&1 | grep -m1 '2B 2B 2B' > /dev/null" << read
            << "";
        QTest::newRow("write's result to a full disk")
            << "$CLI write --set 'tx-power=-21 dBm' --port $PORT > /dev/full"
            << QList<QByteArray>{"+++", "---", "+++", kPacket, "---", "+++", "---"}
            << "No space left on device";
        QTest::newRow("help to a full disk")
            << "$CLI --help > /dev/full" << QList<QByteArray>{} << "";
    }
    void brokenOutput()
    {
        QFETCH(QString, command);
        QFETCH(QList<QByteArray>, wire);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QProcess shell;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CLI"), QStringLiteral(KORVA_CLI_PROGRAM));
        environment.insert(QStringLiteral("PORT"), m_emulator->devicePath());
        environment.insert(QStringLiteral("OUT"), dir.filePath(QStringLiteral("out")));
        shell.setProcessEnvironment(environment);
        shell.start(QStringLiteral("bash"),
                    {QStringLiteral("-c"), command + QStringLiteral("; exit ${PIPESTATUS[0]}")});
        const Outcome outcome = finish(shell);
        QCOMPARE(outcome.code, 6);
        QVERIFY2(outcome.err.contains(message), qPrintable(outcome.err));
        QTRY_COMPARE(bytesOf(sentBursts(*m_emulator)), wire);
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // One device, whatever path: a second opener (korva-cli or the window's
    // port control, through a symbolic link or the real path) is refused as busy
    // and the wire holds the first one's bytes alone.
    void deviceLock_data()
    {
        QTest::addColumn<bool>("windowHolds");
        QTest::addColumn<bool>("holderByLink");
        QTest::newRow("korva-cli by a link, then by the device") << false << true;
        QTest::newRow("korva-cli by the device, then by a link") << false << false;
        QTest::newRow("the window by the device, then korva-cli by a link") << true << false;
    }
    void deviceLock()
    {
        QFETCH(bool, windowHolds);
        QFETCH(bool, holderByLink);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("module"));
        QVERIFY(QFile::link(m_emulator->devicePath(), link));
        const QString holderPath = holderByLink ? link : m_emulator->devicePath();
        const QString otherPath = holderByLink ? m_emulator->devicePath() : link;

        korva::MSComm window;
        QProcess holder;
        if (windowHolds) {
            QVERIFY(!window.setDevicePath(holderPath));
            QVERIFY(!window.setPortOpen(true));
        } else {
            startCli(holder, {"write", "--set", "tx-power=-21 dBm", "--port", holderPath});
            QTRY_VERIFY_WITH_TIMEOUT(m_emulator->receivedBytes().startsWith("+++"), kFinishMs);
        }
        const Outcome second = runCli({"read", "--port", otherPath});
        QCOMPARE(second.code, 3);
        QVERIFY2(second.err.contains("Port busy: " + otherPath), qPrintable(second.err));
        if (!windowHolds) {
            QCOMPARE(finish(holder).code, 0);
            QCOMPARE(m_emulator->receivedBytes(), kWriteBytes);
        } else {
            QVERIFY(m_emulator->receivedBytes().isEmpty());
        }
    }

    // reset-defaults asks on a terminal, naming the device; only yes writes.
    void resetDefaultsAsks_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("no") << QByteArray("n\n") << 8 << QByteArray();
        QTest::newRow("nothing: no") << QByteArray("\n") << 8 << QByteArray();
        QTest::newRow("yes") << QByteArray("yes\n") << 0 << "+++---+++" + kDefaults + "---+++---";
    }
    void resetDefaultsAsks()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QByteArray, wire);
        int master = -1;
        int slave = -1;
        char terminal[128] = {};
        QVERIFY(::openpty(&master, &slave, terminal, nullptr, nullptr) == 0);
        QProcess process;
        process.setProgram(QStringLiteral(KORVA_CLI_PROGRAM));
        process.setArguments({"reset-defaults", "--port", m_emulator->devicePath()});
        process.setStandardInputFile(QString::fromLocal8Bit(terminal));
        process.start();
        QVERIFY(process.waitForStarted());
        QCOMPARE(::write(master, answer.constData(), size_t(answer.size())), answer.size());
        const Outcome outcome = finish(process);
        ::close(slave);
        ::close(master);
        QVERIFY2(outcome.err.contains(
                     QStringLiteral("the destination address and the local address of the module "
                                    "on %1 to 00000000; the other fields keep the values the "
                                    "module holds.\nContinue? [y/N]")
                         .arg(m_emulator->devicePath())),
                 qPrintable(outcome.err));
        QCOMPARE(outcome.code, code);
        QTRY_COMPARE(m_emulator->receivedBytes(), wire);
    }

    void helpAndVersion()
    {
        const Outcome help = runCli({"--help"});
        QCOMPARE(help.code, 0);
        QVERIFY(help.out.contains("5  the device failed during the operation"));
        QVERIFY(runCli({"--version"}).out.startsWith("korva-cli "));
        QCOMPARE(runCli({"read", "--bogus"}).code, 2);
    }

private:
    std::unique_ptr<ModuleEmulator> m_emulator;
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
