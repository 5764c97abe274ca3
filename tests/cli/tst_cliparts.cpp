#include "cli/commandline.h"
#include "module/commandmodegate.h"
#include "production/fieldvalues.h"
#include "production/portchoice.h"
#include "production/profile.h"

#include <QTemporaryFile>
#include <QTest>

#include <atomic>
#include <thread>

using namespace korva;
using namespace korva::cli;
using namespace korva::production;

class TestCliParts : public QObject
{
    Q_OBJECT

private slots:
    // KEY=VALUE: accepted values take the page's form; a refusal names the key
    // (and a list's entries); Set's own checks give the window's texts.
    void assignments_data()
    {
        QTest::addColumn<QString>("assignment");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("text"); // the field text once applied, or part of the refusal

        QTest::newRow("address hex") << "local-address=0a0B0c0D" << true << "0A0B0C0D";
        QTest::newRow("address colons") << "local-address=1:2:3:AB" << true << "010203AB";
        QTest::newRow("address spaces") << "destination-address= 7f 7f 0 1" << true << "7F7F0001";
        QTest::newRow("address short")
            << "local-address=0102" << false << "local-address: \"0102\"";
        QTest::newRow("address bad digit") << "local-address=0102030G" << false << "not an address";
        QTest::newRow("list any case") << "tx-power=-21 DBM" << true << "-21 dBm";
        QTest::newRow("list miss")
            << "rf-tx-speed=9600" << false
            << "rf-tx-speed: \"9600\" is not one of: 1200 bps, 2400 bps, 4800 bps, 9600 bps, "
               "19200 bps";
        QTest::newRow("rssi") << "rssi-threshold=-73 dBm" << true << "-73 dBm";
        QTest::newRow("frequency") << "rf-frequency=434.5" << true << "434.500";
        QTest::newRow("frequency not a number") << "rf-frequency=abc" << false << "not a frequency";
        QTest::newRow("raw code") << "rf-tx-speed=0x16" << true << "0x16";
        QTest::newRow("raw code of an entry") << "rf-tx-speed=0X23" << true << "9600 bps";
        QTest::newRow("placeholder") << "tx-power=??" << false << "or a code such as 0x16";
        QTest::newRow("size") << "tx-packet-size=255" << true << "255";
        QTest::newRow("size too big")
            << "rx-packet-size=256" << false << "rx-packet-size: Incorrect value";
        QTest::newRow("size negative") << "tx-packet-size=-1" << false << "not a whole number";
        QTest::newRow("unknown key") << "colour=red" << false << "unknown key \"colour\"";
        QTest::newRow("no equals") << "tx-power" << false << "is not KEY=VALUE";
    }
    void assignments()
    {
        QFETCH(QString, assignment);
        QFETCH(bool, accepted);
        QFETCH(QString, text);
        Changes changes;
        QString refusal = addAssignment(changes, assignment);
        if (refusal.isEmpty())
            refusal = checkChanges(changes, QStringLiteral("433Mhz"));
        if (!accepted) {
            QVERIFY2(refusal.contains(text), qPrintable(refusal));
            return;
        }
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
        QCOMPARE(changes.fields.size(), size_t(1));
        const ConfigTexts texts = canonicalTexts(changes, QStringLiteral("433Mhz"));
        QCOMPARE(fieldText(texts, changes.fields.begin()->first), text);
    }

    // A profile is refused with the line of the offending key or of the bad JSON.
    void profiles_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("error");

        QTest::newRow("read output")
            << QByteArray("{\n \"band\": \"868Mhz\",\n \"baud\": 38400,\n \"block\": "
                          "\"7F7F7F7F010203040620001E1E0023\",\n \"fields\": {\n  \"band\": "
                          "\"868Mhz\",\n  \"rf-frequency\": \"867.840\",\n  \"tx-packet-size\": "
                          "30\n },\n \"port\": \"/dev/x\"\n}")
            << 0 << "";
        QTest::newRow("key twice")
            << QByteArray("{\"fields\": {\"tx-power\": \"0 dBm\",\n\n \"tx\\u002dpower\": 1}}") << 3
            << "\"tx-power\" is given twice, on lines 1 and 3";
        QTest::newRow("bands disagree")
            << QByteArray("{\"fields\": {\"band\": \"433Mhz\"},\n\"band\": \"868Mhz\"}") << 2
            << "\"band\": \"868Mhz\" and \"fields\"' \"band\": \"433Mhz\" disagree";
        QTest::newRow("block not hex")
            << QByteArray("{\"fields\": {},\n\"block\": \"00\"}") << 2 << "30 hex digits";
        QTest::newRow("flat") << QByteArray("{\"tx-power\": \"0 dBm\"}") << 0 << "";
        QTest::newRow("unknown field")
            << QByteArray("{\n \"fields\": {\n  \"tx-power\": \"0 dBm\",\n  \"colour\": 1\n }\n}")
            << 4 << "unknown key \"colour\"";
        QTest::newRow("bad value")
            << QByteArray("{\n\"fields\": {\n\"band\": \"433Mhz\",\n\n\"tx-power\": \"5 dBm\"}}")
            << 5 << "tx-power: \"5 dBm\"";
        QTest::newRow("unknown beside fields")
            << QByteArray("{\n \"fields\": {},\n \"extra\": 1\n}") << 3 << "\"extra\"";
        QTest::newRow("not a text")
            << QByteArray("{\n\"tx-power\": [0]\n}") << 2 << "tx-power: the value must be a text";
        QTest::newRow("bad json") << QByteArray("{\n\"tx-power\": \"0 dBm\",,\n}") << 2
                                  << "not valid JSON";
        QTest::newRow("array") << QByteArray("[]") << 1 << "one JSON object";
    }
    void profiles()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, line);
        QFETCH(QString, error);
        const ProfileResult result = parseProfile(json);
        QVERIFY2(error.isEmpty() ? result.error.isEmpty() : result.error.contains(error),
                 qPrintable(result.error));
        QCOMPARE(result.line, line);
    }

    void commandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // empty: accepted

        QTest::newRow("read") << QStringList{"read", "--port", "3", "--format", "json"} << "";
        QTest::newRow("no verb") << QStringList{"--port", "3"} << "no verb";
        QTest::newRow("unknown verb") << QStringList{"erase"} << "unknown verb";
        QTest::newRow("write without values") << QStringList{"write"} << "needs --set";
        QTest::newRow("both sources")
            << QStringList{"verify", "--set", "a=b", "--profile", "p"} << "not both";
        QTest::newRow("dry run on read") << QStringList{"read", "--dry-run"} << "belong to write";
        QTest::newRow("bad band") << QStringList{"read", "--band", "915Mhz"} << "--band";
        QTest::newRow("bad format") << QStringList{"read", "--format", "xml"} << "--format";
        QTest::newRow("bad retries") << QStringList{"read", "--retries", "-1"} << "--retries";
        QTest::newRow("unknown option") << QStringList{"read", "--colour"} << "colour";
        QTest::newRow("ledger status") << QStringList{"ledger",      "status",
                                                      "--ledger",    "postgres://line@db/korva",
                                                      "--addresses", "0001000a-0001FFFF"}
                                       << "";
        QTest::newRow("ledger alone")
            << QStringList{"ledger"} << "needs status, export, check or sync";
        QTest::newRow("ledger sync")
            << QStringList{"ledger", "sync", "--journal", "j", "--ledger-timeout", "0.5"} << "";
        QTest::newRow("journal on status")
            << QStringList{"ledger", "status", "--journal", "j"} << "belongs to ledger check";
        QTest::newRow("hook limit without a hook")
            << QStringList{"provision", "--profile", "p", "--on-unit-timeout", "5"}
            << "need --on-unit";
        QTest::newRow("ledger timeout of 0")
            << QStringList{"provision", "--profile", "p", "--ledger-timeout", "0"}
            << "--ledger-timeout needs seconds";
        QTest::newRow("reversed addresses")
            << QStringList{"ledger", "status", "--addresses", "00000002-00000001"}
            << "--addresses needs FROM-TO";
        QTest::newRow("short addresses")
            << QStringList{"ledger", "status", "--addresses", "1-2"} << "--addresses needs FROM-TO";
        QTest::newRow("addresses on check")
            << QStringList{"ledger", "check", "--addresses", "00000001-00000002"}
            << "belongs to ledger status";
        QTest::newRow("csv beyond export") << QStringList{"read", "--format", "csv"} << "--format";
        QTest::newRow("ledger on read")
            << QStringList{"read", "--ledger", "x"} << "belong to ledger";
        QTest::newRow("port on ledger")
            << QStringList{"ledger", "status", "--port", "1"} << "ledger takes";
        // An empty value never stands for "not given".
        for (const char *option :
             {"port", "baud", "band", "format", "set", "profile", "timeout", "retries",
              "local-address-from", "count", "log", "ledger", "addresses"}) {
            const QString name = QStringLiteral("--") + QLatin1String(option);
            QTest::newRow(qPrintable(QStringLiteral("empty ") + name))
                << QStringList{"provision", "--profile", "p", name, ""}
                << name + QStringLiteral(" needs a value");
        }
        QTest::newRow("blank") << QStringList{"read", "--port", " "} << "--port needs a value";
    }
    void commandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const ParsedCommandLine parsed = parseCommandLine(arguments);
        QCOMPARE(parsed.action == ParsedCommandLine::Action::Error, !error.isEmpty());
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
    }

    // What a run is asked to write: duplicates and conflicts are refused naming
    // both sides, metadata that disagrees with the fields too, and a profile
    // that does not end is not read to the end.
    void ambiguousValues_data()
    {
        QTest::addColumn<QStringList>("arguments"); // PROFILE: the profile below
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("text"); // a part of the refusal, or else of the notes
        const QByteArray readOutput(
            "{\"band\": \"433Mhz\", \"baud\": 38400, \"block\": "
            "\"7F7F7F7F010203040620001E1E0023\",\n\"fields\": {\"band\": \"433Mhz\", "
            "\"tx-power\": \"0 dBm\", \"rf-frequency\": \"433.920\"}, \"port\": \"/dev/x\"}");

        const QStringList fromProfile{"write", "--profile", "PROFILE"};
        QTest::newRow("read's output") << fromProfile << readOutput << false
                                       << "\"baud\", \"port\" in the profile are not used";
        QTest::newRow("block edited by hand")
            << fromProfile << QByteArray(readOutput).replace("0620001E", "0620071E") << true
            << "\"block\" holds tx-power ";
        QTest::newRow("fields edited by hand")
            << fromProfile << QByteArray(readOutput).replace("433.920", "434.000") << true
            << "\"block\" holds rf-frequency 433.920, \"fields\" give 434.000";
        QTest::newRow("--set twice, two values")
            << QStringList{"write", "--set", "tx-power=0 dBm", "--set", "tx-power=-21 dbm"}
            << QByteArray() << true
            << "--set \"tx-power=0 dBm\" and --set \"tx-power=-21 dbm\" disagree";
        QTest::newRow("--set twice, one value")
            << QStringList{"write", "--set", "tx-power=0 dBm", "--set", "tx-power= 0 DBM"}
            << QByteArray() << false << "";
        QTest::newRow("--band against the profile")
            << QStringList{"verify", "--band", "868Mhz", "--profile", "PROFILE"} << readOutput
            << true << "--band 868Mhz and the profile's band 433Mhz disagree";
        QTest::newRow("--band against --set")
            << QStringList{"write", "--band", "433Mhz", "--set", "band=868mhz"} << QByteArray()
            << true << "--band 433Mhz and --set \"band=868mhz\" disagree";
        QTest::newRow("--band agrees")
            << QStringList{"write", "--band", "433Mhz", "--profile", "PROFILE"} << readOutput
            << false << "";
        QTest::newRow("between channels")
            << QStringList{"write", "--band", "868Mhz", "--set", "rf-frequency=867.8425"}
            << QByteArray() << false
            << "867.8425 MHz lies between two channels; the module takes 867.840";
        QTest::newRow("endless profile") << QStringList{"write", "--profile", "/dev/zero"}
                                         << QByteArray() << true << "longer than 1024 KiB";
    }
    void ambiguousValues()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, profile);
        QFETCH(bool, refused);
        QFETCH(QString, text);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(profile);
        file.flush();
        arguments.replaceInStrings(QStringLiteral("PROFILE"), file.fileName());
        const ParsedCommandLine parsed = parseCommandLine(arguments);
        QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
        const CliOptions &options = parsed.options;
        const RunValues values =
            gatherValues({options.profile, options.sets, options.band, options.bandGiven});
        QVERIFY2(refused ? values.error.contains(text) : values.error.isEmpty(),
                 qPrintable(values.error));
        QVERIFY2(refused || values.notes.join(u'\n').contains(text),
                 qPrintable(values.notes.join(u'\n')));
    }

    // A port argument is checked before anything opens.
    void portArguments_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("error"); // empty: accepted
        const auto port = [](const char *name, const char *text, const char *error) {
            QTest::newRow(name) << QString(text) << QString(error);
        };
        port("first", "1", "");
        port("last", "15", "");
        port("zero", "0", "port 0 from --port is no port number");
        port("past the list", "16", "the numbers are 1 to 15");
        port("huge", "99999999999", "is no port number");
        port("blank", " ", "is blank");
        port("device", "/dev/ttyUSB0", "");
        port("bare name", "ttyUSB0", "");
        port("not there yet", "/dev/serial/by-path/not-yet", "");
    }
    void portArguments()
    {
        QFETCH(QString, port);
        QFETCH(QString, error);
        const QString refusal = checkPortArgument(port);
        QVERIFY2(error.isEmpty() ? refusal.isEmpty() : refusal.contains(error),
                 qPrintable(refusal));
    }

    // A suspension waits for the last module in command mode on any thread, and
    // no module enters command mode until it has run.
    void suspensionWaitsForCommandMode()
    {
        static std::atomic<int> suspensions = 0;
        static std::thread::id suspendedOn;
        const auto suspend = [] {
            suspendedOn = std::this_thread::get_id();
            ++suspensions;
        };
        CommandModeGate::suspendWhenIdle(suspend);
        QCOMPARE(suspensions.load(), 1); // none in command mode: at once

        std::atomic<bool> firstIn = false;
        std::atomic<bool> release = false;
        std::thread::id firstId;
        std::thread first([&] {
            firstId = std::this_thread::get_id();
            CommandModeGate::enter();
            firstIn = true;
            while (!release)
                std::this_thread::yield();
            CommandModeGate::leave();
        });
        QTRY_VERIFY(firstIn.load());
        CommandModeGate::suspendWhenIdle(suspend);
        std::atomic<int> suspensionsSeenBySecond = -1;
        std::thread second([&] {
            CommandModeGate::enter();
            suspensionsSeenBySecond = suspensions.load();
            CommandModeGate::leave();
        });
        QTest::qWait(50);
        QCOMPARE(suspensions.load(), 1);
        QCOMPARE(suspensionsSeenBySecond.load(), -1);
        release = true;
        first.join();
        second.join();
        QCOMPARE(suspensions.load(), 2);
        QVERIFY(suspendedOn == firstId);
        QCOMPARE(suspensionsSeenBySecond.load(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCliParts)
#include "tst_cliparts.moc"
