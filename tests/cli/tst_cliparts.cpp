#include "cli/commandline.h"
#include "cli/fieldvalues.h"
#include "cli/profile.h"

#include <QTest>

using namespace korva;
using namespace korva::cli;

class TestCliParts : public QObject
{
    Q_OBJECT

private slots:
    // KEY=VALUE: accepted values take the page's form; a refusal names the key
    // (and a list's entries); Set's own checks give the window's texts.
    void assignments_data()
    {
        QTest::addColumn<QString>("assignment");
        QTest::addColumn<QString>("field"); // the field text after applying, or empty
        QTest::addColumn<QString>("error"); // a part of the refusal, or empty

        QTest::newRow("address hex") << "local-address=0a0B0c0D"
                                     << "0A0B0C0D"
                                     << "";
        QTest::newRow("address colons") << "local-address=1:2:3:AB"
                                        << "010203AB"
                                        << "";
        QTest::newRow("address spaces") << "destination-address= 7f 7f 0 1"
                                        << "7F7F0001"
                                        << "";
        QTest::newRow("address short") << "local-address=0102"
                                       << ""
                                       << "local-address: \"0102\"";
        QTest::newRow("address bad digit") << "local-address=0102030G"
                                           << ""
                                           << "not an address";
        QTest::newRow("list any case") << "tx-power=-21 DBM"
                                       << "-21 dBm"
                                       << "";
        QTest::newRow("list miss")
            << "rf-tx-speed=9600"
            << ""
            << "rf-tx-speed: \"9600\" is not one of: 1200 bps, 2400 bps, 4800 bps, 9600 bps, "
               "19200 bps";
        QTest::newRow("rssi") << "rssi-threshold=-73 dBm"
                              << "-73 dBm"
                              << "";
        QTest::newRow("frequency") << "rf-frequency=434.5"
                                   << "434.500"
                                   << "";
        QTest::newRow("frequency not a number") << "rf-frequency=abc"
                                                << ""
                                                << "not a frequency";
        QTest::newRow("frequency out of band") << "rf-frequency=593.84"
                                               << ""
                                               << "rf-frequency: Incorrect Frequency value";
        QTest::newRow("size") << "tx-packet-size=255"
                              << "255"
                              << "";
        QTest::newRow("size too big") << "rx-packet-size=256"
                                      << ""
                                      << "rx-packet-size: Incorrect value";
        QTest::newRow("size negative") << "tx-packet-size=-1"
                                       << ""
                                       << "not a whole number";
        QTest::newRow("unknown key") << "colour=red"
                                     << ""
                                     << "unknown key \"colour\"";
        QTest::newRow("no equals") << "tx-power"
                                   << ""
                                   << "is not KEY=VALUE";
    }
    void assignments()
    {
        QFETCH(QString, assignment);
        QFETCH(QString, field);
        QFETCH(QString, error);
        Changes changes;
        QString refusal = addAssignment(changes, assignment);
        if (refusal.isEmpty())
            refusal = checkChanges(changes, QStringLiteral("433Mhz"));
        if (!error.isEmpty()) {
            QVERIFY2(refusal.contains(error), qPrintable(refusal));
            return;
        }
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
        QCOMPARE(changes.fields.size(), size_t(1));
        const ConfigTexts texts = canonicalTexts(changes, QStringLiteral("433Mhz"));
        QCOMPARE(fieldText(texts, changes.fields.begin()->first), field);
    }

    // A profile is refused with the line of the offending key or of the bad JSON.
    void profiles_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("error");

        QTest::newRow("read output")
            << QByteArray("{\n \"band\": \"868Mhz\",\n \"baud\": 38400,\n \"block\": \"00\",\n"
                          " \"fields\": {\n  \"band\": \"868Mhz\",\n  \"rf-frequency\": "
                          "\"867.840\",\n  \"tx-packet-size\": 12\n },\n \"port\": \"/dev/x\"\n}")
            << 0 << "";
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
        QTest::newRow("ledger alone") << QStringList{"ledger"} << "needs status, export or check";
        QTest::newRow("empty ledger") << QStringList{"ledger", "check", "--ledger", ""}
                                      << "--ledger: a ledger is a file path";
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
    }
    void commandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const ParsedCommandLine parsed = parseCommandLine(arguments);
        QCOMPARE(parsed.action == ParsedCommandLine::Action::Error, !error.isEmpty());
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
    }
};

QTEST_GUILESS_MAIN(TestCliParts)
#include "tst_cliparts.moc"
