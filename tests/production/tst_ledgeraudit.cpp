#include "cliprocess.h"
#include "ledgertesting.h"

#include <QJsonDocument>
#include <QThread>

#include <sys/stat.h>

using namespace ledgertest;

namespace
{

const AddressRange kRange{0x00010000, 0x0001FFFF};

// A unit row of run 2 at 00010000 (65536): sequence, state, packet left and result.
QString unitAt(int sequence, const QString &state, int packetLeft, const QString &result,
               qint64 address = 65536)
{
    return QStringLiteral("INSERT INTO units (run_id, sequence, slot, started, ended, device,"
                          " adapter_serial, adapter_location, block_before, packet, read_back,"
                          " packet_left, address, address_state, reprovision, result, differences,"
                          " error_class, error, writes) VALUES (2, %1, 0, '', '', '', '', '', '',"
                          " '', '', %2, %5, %3, 0, '%4', '[]', '', '', 1)")
        .arg(sequence)
        .arg(packetLeft)
        .arg(state.isEmpty() ? QStringLiteral("NULL") : u'\'' + state + u'\'', result)
        .arg(address);
}

// The cells of CSV lines (quoted cells with doubled quotes, CRLF or LF).
QList<QStringList> csvRows(const QString &text)
{
    QList<QStringList> rows{{}};
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"') {
            cell += c;
            ++i;
        } else if (c == u'"') {
            quoted = !quoted;
        } else if (!quoted && (c == u',' || c == u'\n')) {
            rows.last() << cell;
            cell.clear();
            if (c == u'\n')
                rows << QStringList{};
        } else if (quoted || c != u'\r') {
            cell += c;
        }
    }
    rows.removeIf([](const QStringList &row) { return row.isEmpty(); });
    return rows;
}

} // namespace

class TestLedgerAudit : public QObject
{
    Q_OBJECT

    LedgerFixture m_ledgers;

    // line-1 passed 00010000, failed 00010001 and released 00010002; line-2
    // passed 00010002 and sent 00010003 with no outcome recorded. The first
    // unit's record, as the ledger holds it.
    UnitRecord fillTwoRuns(const QString &where)
    {
        QString error;
        const auto ledger = openLedger(where, error);
        if (!ledger)
            return {};
        const auto startRun = [&](const QString &station) {
            RunStart run;
            run.station = station;
            run.operatorName = QStringLiteral("ana");
            return ledger->startRun(run).value;
        };
        const qint64 one = startRun("line-1");
        const qint64 two = startRun("line-2");
        UnitRecord first = unitRecord(one, 1, kRange.first, AddressState::Passed);
        ledger->reserve(kRange, one, "line-1");
        ledger->markSent(kRange.first, one);
        ledger->recordUnit(first);
        int sequence = 1;
        for (const auto &[run, state] :
             QList<QPair<qint64, AddressState>>{{one, AddressState::Failed},
                                                {one, AddressState::Released},
                                                {two, AddressState::Passed}})
            provisionUnit(*ledger, kRange, run, ++sequence, state,
                          run == one ? "line-1" : "line-2");
        const quint32 sent = *ledger->reserve(kRange, two, "line-2").value;
        ledger->markSent(sent, two);
        RunEnd end;
        end.how = "stopped";
        ledger->endRun(one, end);
        first.station = QStringLiteral("line-1");
        first.operatorName = QStringLiteral("ana");
        return first;
    }

private slots:
    // korva-cli ledger as a process on the ledger of fillTwoRuns, tampered
    // with first where a row says so. SPEC stands for the ledger.
    void verbs_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("tampering"); // SQL run on the ledger first
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("output"); // a part of stdout and stderr
        QTest::addColumn<int>("lines");      // of stdout; -1: any

        const QStringList status{"ledger", "status", "--ledger", "SPEC", "--addresses"};
        const QStringList exportAll{"ledger", "export", "--ledger", "SPEC"};
        const QStringList check{"ledger", "check", "--ledger", "SPEC"};
        const QString byStation = "Units by station    passed    failed  not verified  already"
                                  " provisioned     yield\n"
                                  "line-1                   1         2             0          "
                                  "          0    33.3 %\n"
                                  "line-2                   1         0             0          "
                                  "          0   100.0 %\n"
                                  "all                      2         2             0          "
                                  "          0    50.0 %\n";
        for (const char *backend : {"sqlite", "postgres"}) {
            QTest::addRow("%s: status", backend)
                << status + QStringList{"00010000-0001FFFF"} << "" << 0
                << "          reserved      sent    passed    failed  released\n"
                   "line-1           0         0         1         1         0\n"
                   "line-2           0         1         1         0         0\n"
                   "all              0         1         2         1         0\n\n"
                   "Next free address: 00010004\n\n" +
                       byStation
                << 21;
            QTest::addRow("%s: export json", backend) << exportAll << "" << 0 << "UNIT" << 7;
            QTest::addRow("%s: check finds an address issued twice", backend)
                << check << unitAt(9, "passed", 1, "passed") << 1
                << "FAULT: 00010000 issued twice: to run 1 unit 1 and to run 2 unit 9\n"
                << -1;
            QTest::addRow("%s: check finds a lost unit record", backend)
                << check << "DELETE FROM units WHERE address = 65537" << 1
                << "FAULT: 00010001 is failed in the ledger, but no unit record says so (run 1)\n"
                << -1;
        }
        QTest::newRow("sqlite: status by day and error class")
            << status + QStringList{"00010000-00010003"} << "" << 0
            << "Next free address: none, the range is used up\n\n" + byStation +
                   "\nUnits by day    passed    failed  not verified  already provisioned"
                   "     yield\nTODAY           2         2             0                    0"
                   "    50.0 %\n\n"
                   "Failures by error class     units\n(fields differ)                 1\n"
                   "port-lost                       1\n"
            << 21;
        QTest::newRow("sqlite: status keeps a stored name on its row")
            << status + QStringList{"00010000-0001FFFF"}
            << "UPDATE runs SET station = 'bad\nname\twith a tail longer than the column' WHERE "
               "id = 2"
            << 0 << "\nbad\\nname\\twith a tail longer t…         1" << 21;
        QTest::newRow("sqlite: export of one station")
            << exportAll + QStringList{"--station", "line-2"} << "" << 0 << "\"station\":\"line-2\""
            << 2;
        QTest::newRow("sqlite: export of one run")
            << exportAll + QStringList{"--run", "1"} << "" << 0 << "\"type\":\"run-end\"" << 5;
        QTest::newRow("sqlite: export until the end of today")
            << exportAll + QStringList{"--until", "TODAY"} << "" << 0 << "" << 7;
        QTest::newRow("sqlite: export since tomorrow")
            << exportAll + QStringList{"--since", "TOMORROW"} << "" << 0 << "" << 0;
        QTest::newRow("sqlite: export since a time refused")
            << exportAll + QStringList{"--since", "yesterday"} << "" << 2
            << "--since needs YYYY-MM-DD" << 0;
        QTest::newRow("sqlite: export csv")
            << exportAll + QStringList{"--format", "csv"} << "" << 0
            << ",0x00010000,passed,,,,0x7F7F7F7F010203040620001E1E0023,/dev/ttyUSB0," << 8;
        QTest::newRow("sqlite: check")
            << check << "" << 0
            << "Checked 4 addresses, 4 unit records and 2 runs.\n"
               "Reservations whose outcome was never recorded (out of circulation for good): 1\n"
               "  00010003 sent since "
            << -1;
        QTest::newRow("sqlite: check finds a record the ledger disagrees with")
            << check << "UPDATE addresses SET state = 'failed' WHERE address = 65536" << 1
            << "FAULT: run 1 unit 1 records 00010000 as passed, the ledger holds it as failed"
            << -1;
        QTest::newRow("sqlite: check finds a result against its state")
            << check << "UPDATE units SET result = 'passed' WHERE address = 65537" << 1
            << "FAULT: run 1 unit 2 records 00010001 as failed with the result passed\n"
            << -1;
        QTest::newRow("sqlite: check finds the profile's address on an issued one")
            << check << unitAt(10, "", 1, "passed") << 1
            << "FAULT: 00010000 is passed in the ledger (run 1), yet run 2 unit 10 was written "
               "with it as the profile's address\n"
            << -1;
        QTest::newRow("sqlite: check finds an address never issued")
            << check << unitAt(11, "passed", 1, "passed", 0x11170) << 1
            << "FAULT: run 2 unit 11 records 00011170 as passed, an address the ledger never "
               "issued\n"
            << -1;
        QTest::newRow("sqlite: check finds a release after the packet")
            << check << "UPDATE units SET packet_left = 1 WHERE address = 65538 AND run_id = 1" << 1
            << "FAULT: run 1 unit 3 released 00010002 although its packet left\n"
            << -1;
        QTest::newRow("sqlite: check finds spans the addresses do not make")
            << check << "UPDATE issued_spans SET high = high + 1" << 1
            << "FAULT: the spans of issued addresses hold 00010000-00010004, which the addresses "
               "do not make\nFAULT: the addresses 00010000-00010003 are issued, but no span of "
               "issued addresses holds them as one\n"
            << -1;
        QTest::newRow("sqlite: no ledger")
            << QStringList{"ledger", "check", "--ledger", "MISSING"} << "" << 6
            << "MISSING: cannot open: there is no such file" << 0;
        QTest::newRow("sqlite: default ledger") << QStringList{"ledger", "status"} << "" << 6
                                                << "DATA/KORVA/ledger.sqlite: cannot open" << 0;
        QTest::newRow("sqlite: a filter of export only")
            << status + QStringList{"00010000-0001FFFF", "--station", "line-1"} << "" << 2
            << "belong to ledger export" << 0;
        QTest::newRow("sqlite: a station with a tab")
            << QStringList{"provision", "--profile", "p.json", "--station", "a\tb"} << "" << 2
            << "--station holds a control character (U+0009)" << 0;
        QTest::newRow("sqlite: an operator not in UTF-8")
            << QStringList{"provision", "--profile", "p.json", "--operator", "INVALID"} << "" << 2
            << "--operator is not valid UTF-8" << 0;
    }
    void verbs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, tampering);
        QFETCH(int, code);
        QFETCH(QString, output);
        QFETCH(int, lines);
        const QString where = m_ledgers.newLedger();
        QVERIFY2(!where.isEmpty(), qPrintable(m_ledgers.serverError()));
        const UnitRecord first = fillTwoRuns(where);
        QCOMPARE(first.runId, 1);
        if (!tampering.isEmpty())
            QCOMPARE(m_ledgers.tamper(where, {tampering}), QString());

        const QString missing = m_ledgers.folder() + QStringLiteral("/missing.sqlite");
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        for (QString *text : {&output}) {
            text->replace(QStringLiteral("MISSING"), missing);
            text->replace(QStringLiteral("DATA"), m_ledgers.folder() + QStringLiteral("/data"));
            text->replace(QStringLiteral("TODAY"), today);
        }
        arguments.replaceInStrings(QStringLiteral("MISSING"), missing);
        arguments.replaceInStrings(QStringLiteral("SPEC"), where);
        arguments.replaceInStrings(QStringLiteral("TOMORROW"),
                                   QDate::currentDate().addDays(1).toString(Qt::ISODate));
        arguments.replaceInStrings(QStringLiteral("TODAY"), today);
        QJsonObject unit = first.toJson();
        for (const QString &key : Ledger::hookKeys())
            unit.insert(key, QJsonValue::Null);
        output.replace(QStringLiteral("UNIT"),
                       QString::fromUtf8(QJsonDocument(unit).toJson(QJsonDocument::Compact)));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_ledgers.folder() + QStringLiteral("/data")));
        Outcome outcome;
        if (arguments.contains(QStringLiteral("INVALID"))) {
            // Bytes that are no UTF-8 reach the program only through a shell.
            arguments.replaceInStrings(QStringLiteral("INVALID"),
                                       QStringLiteral("$(printf '\\377')"));
            QProcess shell;
            shell.start("/bin/sh", {"-c", "exec \"$0\" " + arguments.join(u' '),
                                    QStringLiteral(KORVA_CLI_PROGRAM)});
            outcome = finish(shell);
        } else {
            outcome = runCli(arguments);
        }
        QVERIFY2(outcome.code == code, qPrintable(outcome.out + outcome.err));
        QVERIFY2((outcome.out + outcome.err).contains(output),
                 qPrintable(outcome.out + outcome.err));
        if (lines >= 0)
            QCOMPARE(outcome.out.count(u'\n'), lines);
        QVERIFY(!QFile::exists(missing));
    }

    // A spreadsheet opening the CSV export keeps every address and hex value as
    // written, leading zeros and all, and takes no name for a formula.
    void spreadsheet()
    {
        const QString where = m_ledgers.folder() + QStringLiteral("/sheet.sqlite");
        {
            QString error;
            const auto ledger = openLedger(where, error);
            QVERIFY2(ledger, qPrintable(error));
            RunStart start;
            start.station = QStringLiteral("=HYPERLINK(\"x\")");
            start.profileSha256 = QStringLiteral("1234e567") + QString(56, u'0');
            const qint64 run = ledger->startRun(start).value;
            for (const AddressRange &range :
                 {AddressRange{0x000200E9, 0x000200FF}, AddressRange{0x00020000, 0x00020000}})
                QVERIFY(std::holds_alternative<quint32>(
                    provisionUnit(*ledger, range, run, int(range.first), AddressState::Passed)));
        }
        const Outcome csv = runCli({"ledger", "export", "--ledger", where, "--format", "csv"});
        QCOMPARE(csv.code, 0);
        const QString in = m_ledgers.folder() + QStringLiteral("/audit.csv");
        const QString out = m_ledgers.folder() + QStringLiteral("/opened.csv");
        QFile file(in);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(csv.out.toUtf8()) > 0);
        file.close();
        QProcess ssconvert;
        ssconvert.start("ssconvert", {"--import-type=Gnumeric_stf:stf_csvtab",
                                      "--export-type=Gnumeric_stf:stf_csv", in, out});
        QVERIFY2(ssconvert.waitForFinished(60000) && ssconvert.exitCode() == 0,
                 qPrintable(ssconvert.readAllStandardError()));
        QFile opened(out);
        QVERIFY(opened.open(QIODevice::ReadOnly));
        const QList<QStringList> written = csvRows(csv.out), read = csvRows(opened.readAll());
        QCOMPARE(read.size(), written.size());
        const QStringList header = written.constFirst();
        int units = 0;
        for (qsizetype row = 1; row < written.size(); ++row) {
            for (const char *column :
                 {"address", "before", "packet", "read-back", "profile-sha256", "station"}) {
                const qsizetype at = header.indexOf(column);
                QCOMPARE(read.at(row).value(at).remove(u'\''),
                         written.at(row).value(at).remove(u'\''));
            }
            units += written.at(row).constFirst() == QLatin1String("unit");
        }
        QCOMPARE(units, 2);
        QVERIFY2(csv.out.contains(",0x000200E9,") && csv.out.contains(",0x00020000,"),
                 qPrintable(csv.out));
    }

    // While one reader holds its snapshot (an export whose output nobody
    // reads, a connection in an open read transaction) and checks run one
    // after another, a station takes and records units: none fails, no check
    // finds a fault, and the export gives the ledger as it was when it began.
    void readers_data()
    {
        QTest::addColumn<int>("units"); // recorded before the readers, over a page of reading
        QTest::newRow("sqlite") << 2500;
        QTest::newRow("postgres") << 2100;
    }
    void readers()
    {
        QFETCH(int, units);
        const QString where = m_ledgers.newLedger();
        QVERIFY2(!where.isEmpty(), qPrintable(m_ledgers.serverError()));
        QString error;
        auto checker = openLedger(where, error);
        QVERIFY2(checker, qPrintable(error));
        QCOMPARE(checker->startRun(RunStart{}).value, 1);
        const qint64 first = 0x00500000;
        QCOMPARE(m_ledgers.tamper(
                     where, {bulkAddresses(1, first, units), bulkUnits(1, first, units),
                             QStringLiteral("INSERT INTO issued_spans (low, high) VALUES (%1, %2)")
                                 .arg(first)
                                 .arg(first + units - 1)}),
                 QString());

        // The export stops after its first line until the test lets it go on.
        const QString folder = m_ledgers.folder() + u'/' + QTest::currentDataTag();
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::mkfifo(QFile::encodeName(folder + "/go").constData(), 0600) == 0);
        QProcess reader;
        reader.start("/bin/sh",
                     {"-c",
                      "{ \"$0\" ledger export --ledger \"$1\"; echo $? > \"$2/code\"; } | "
                      "{ IFS= read -r first; echo \"$first\" > \"$2/started\"; read go < \"$2/go\";"
                      " echo \"$first\"; cat; } > \"$2/out\"",
                      QStringLiteral(KORVA_CLI_PROGRAM), where, folder});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder + "/started").size() > 0, 30000);

        const LedgerLocation location = locationOf(where);
        {
            QSqlDatabase holder = QSqlDatabase::addDatabase(
                LedgerFixture::isSqlite() ? "QSQLITE" : "QPSQL", QStringLiteral("holder"));
            holder.setDatabaseName(LedgerFixture::isSqlite() ? location.path : location.database);
            holder.setHostName(location.host);
            holder.setPort(location.port);
            holder.setUserName(location.user);
            QVERIFY(holder.open());
            QSqlQuery held(holder);
            QVERIFY(held.exec(LedgerFixture::isSqlite()
                                  ? "BEGIN"
                                  : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"));
            QVERIFY(held.exec("SELECT COUNT(*) FROM units") && held.next());
            QCOMPARE(held.value(0).toInt(), units);

            QStringList failures;
            std::unique_ptr<QThread> station(QThread::create([&] {
                QString opened;
                const auto ledger = openLedger(where, opened);
                const auto run = ledger ? ledger->startRun(RunStart{}) : Ledger::Result<qint64>{};
                failures << opened << run.error;
                for (int sequence = 1; run.value > 0 && sequence <= 24; ++sequence) {
                    const auto state = QList<AddressState>{
                        AddressState::Passed, AddressState::Failed, AddressState::Released,
                        AddressState::Sent}[sequence % 4];
                    const auto unit = provisionUnit(*ledger, kRange, run.value, sequence, state);
                    if (const auto *failure = std::get_if<QString>(&unit))
                        failures << *failure;
                }
            }));
            station->start();
            int checks = 0;
            for (; !station->isFinished() || checks == 0; ++checks) {
                const auto checked = checker->check();
                QVERIFY2(checked.ok() && checked.value.faults.isEmpty(),
                         qPrintable(checked.error + checked.value.faults.join(u'\n')));
            }
            QVERIFY(station->wait());
            failures.removeAll(QString());
            QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));
            QVERIFY(held.exec("SELECT COUNT(*) FROM units") && held.next());
            QCOMPARE(held.value(0).toInt(), units);
            held.exec("COMMIT");
        }
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));

        QFile go(folder + "/go");
        QVERIFY(go.open(QIODevice::WriteOnly) && go.write("go\n") == 3);
        go.close();
        QVERIFY(reader.waitForFinished(60000));
        QFile code(folder + "/code"), out(folder + "/out");
        QVERIFY(code.open(QIODevice::ReadOnly) && out.open(QIODevice::ReadOnly));
        QCOMPARE(code.readAll().trimmed(), QByteArray("0"));
        const QByteArray exported = out.readAll();
        QCOMPARE(exported.count("\"type\":\"unit\""), units);
        QCOMPARE(exported.count("\"type\":\"run-start\""), 1);
        const auto checked = checker->check();
        QVERIFY2(checked.ok() && checked.value.faults.isEmpty(),
                 qPrintable(checked.error + checked.value.faults.join(u'\n')));
        QCOMPARE(checked.value.units, units + 24);
    }
};

QTEST_GUILESS_MAIN(TestLedgerAudit)
#include "tst_ledgeraudit.moc"
