#include "pgserver.h"
#include "production/journal.h"
#include "production/journalsync.h"
#include "production/ledgerservice.h"

#include <QDir>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/file.h>
#include <sys/resource.h>

using namespace korva::production;

namespace
{

UnitRecord passedUnit(qint64 runId, int sequence, quint32 address)
{
    UnitRecord unit;
    unit.runId = runId;
    unit.sequence = sequence;
    unit.slot = 1;
    unit.started = currentTime();
    unit.ended = unit.started.addMSecs(1100);
    unit.device = QStringLiteral("/dev/ttyUSB0");
    unit.before = QByteArray::fromHex("7F7F7F7F010203040620001E1E0023");
    unit.packet = QByteArray::fromHex("7F7F7F7F000100000620071E1E0023");
    unit.readBack = unit.packet;
    unit.packetLeft = true;
    unit.address = address;
    unit.addressState = AddressState::Passed;
    unit.result = QStringLiteral("passed");
    unit.writes = 1;
    return unit;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every line whole: a reader never meets a torn record.
bool wholeLines(const QByteArray &bytes)
{
    if (!bytes.isEmpty() && !bytes.endsWith('\n'))
        return false;
    for (const QByteArray &line : bytes.split('\n'))
        if (!line.isEmpty() && QJsonDocument::fromJson(line).isNull())
            return false;
    return true;
}

// Limits the size of every file this process writes, as a full disk would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_before);
        rlimit limit = m_before;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_before); }

private:
    rlimit m_before = {};
};

} // namespace

// The journal and the station's ledger connection, each on its own: what the
// end-to-end tables of tst_recordfaults build on.
class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    // A line that could not be written whole is cut back off, in the log and in
    // the journal alike: what was there stays, and the next line starts clean.
    void tornLines_data()
    {
        QTest::addColumn<bool>("journal");
        QTest::addColumn<int>("roomBytes"); // how much of the line fits before the disk is full
        for (const bool journal : {false, true}) {
            for (const int room : {0, 1, 40, 200}) {
                QTest::addRow("%s, %d bytes fit", journal ? "journal" : "log", room)
                    << journal << room;
            }
        }
    }

    void tornLines()
    {
        QFETCH(bool, journal);
        QFETCH(int, roomBytes);
        QTemporaryDir dir;
        RunStart start;
        start.started = currentTime();
        LedgerLocation ledger;
        ledger.path = dir.filePath("ledger.sqlite");
        Journal records;
        RecordFile log;
        QString path = dir.filePath("units.jsonl");
        if (journal) {
            QCOMPARE(records.open(dir.path(), ledger, start, 1), QString());
            path = records.path();
        } else {
            QCOMPARE(log.open(path), QString());
        }
        const auto append = [&](const UnitRecord &unit) {
            return journal ? records.appendUnit(unit)
                           : log.appendLine(
                                 QJsonDocument(unit.toJson()).toJson(QJsonDocument::Compact));
        };
        QCOMPARE(append(passedUnit(1, 1, 0x10000)), QString());
        const QByteArray before = fileBytes(path);
        {
            const FileSizeLimit full(rlim_t(before.size() + roomBytes));
            const QString failed = append(passedUnit(1, 2, 0x10001));
            QVERIFY2(failed.contains(path), qPrintable(failed));
        }
        QCOMPARE(fileBytes(path), before);
        QCOMPARE(append(passedUnit(1, 3, 0x10002)), QString());
        const QByteArray after = fileBytes(path);
        QVERIFY(wholeLines(after));
        QCOMPARE(after.count('\n'), before.count('\n') + 1);
    }

    // A journal's records carried into its ledger, from wherever a run was
    // killed: each record the ledger lacks goes in once, one it holds is not
    // stored again, another ledger's journal and a run still going are left
    // alone, and a second sync finds nothing left.
    void carry_data()
    {
        QTest::addColumn<QString>("journal");
        QTest::addColumn<QList<int>>("carried"); // units, --on-unit outcomes, run ends
        QTest::addColumn<int>("alreadyThere");
        QTest::addColumn<int>("live");
        QTest::newRow("killed after the journal, before the ledger")
            << "unit" << QList<int>{1, 0, 0} << 0 << 0;
        QTest::newRow("killed after the ledger took it, before the mark")
            << "unit,in-ledger" << QList<int>{0, 0, 0} << 1 << 0;
        QTest::newRow("killed while the unit was written")
            << "torn" << QList<int>{0, 0, 0} << 0 << 0;
        QTest::newRow("marked as taken") << "unit,in-ledger,took" << QList<int>{0, 0, 0} << 0 << 0;
        QTest::newRow("refused, then its --on-unit outcome and the run's end")
            << "unit,refused,hook,end" << QList<int>{1, 1, 1} << 0 << 0;
        QTest::newRow("another ledger's journal")
            << "unit,other-ledger" << QList<int>{0, 0, 0} << 0 << 0;
        QTest::newRow("a ledger made anew at the same path")
            << "unit,replaced" << QList<int>{0, 0, 0} << 0 << 0;
        QTest::newRow("a run still going") << "unit,live" << QList<int>{0, 0, 0} << 0 << 1;
    }

    void carry()
    {
        QFETCH(QString, journal);
        QFETCH(QList<int>, carried);
        QFETCH(int, alreadyThere);
        QFETCH(int, live);
        const QStringList steps = journal.split(u',');
        QTemporaryDir dir;
        const QString folder = dir.filePath("journal");
        LedgerLocation location;
        location.path = dir.filePath("ledger.sqlite");
        LedgerService service(location);
        const auto ledger = service.client();
        RunStart start;
        start.station = QStringLiteral("bench-1");
        start.started = currentTime();
        const auto run = ledger->startRun(start);
        QVERIFY2(run.ok(), qPrintable(run.error));
        QCOMPARE(ledger->reserve({0x10000, 0x1FFFF}, run.value, start.station).value, 0x10000u);
        QCOMPARE(ledger->markSent(0x10000), QString());

        LedgerLocation written = location;
        if (steps.contains("other-ledger"))
            written.path = dir.filePath("other.sqlite");
        auto records = std::make_unique<Journal>();
        QCOMPARE(records->open(folder, written, start, run.value), QString());
        const QString path = records->path();
        const UnitRecord unit = passedUnit(run.value, 1, 0x10000);
        QCOMPARE(records->appendUnit(unit), QString());
        if (steps.contains("in-ledger"))
            QCOMPARE(ledger->recordUnit(unit), QString());
        if (steps.contains("took"))
            QCOMPARE(records->appendTook(Journal::Record::Unit, run.value, 1), QString());
        if (steps.contains("refused"))
            QCOMPARE(records->appendRefused(Journal::Record::Unit, run.value, 1, "locked"),
                     QString());
        if (steps.contains("hook"))
            QCOMPARE(records->appendHookOutcome(run.value, 1, "exit 3", "jammed\n"), QString());
        if (steps.contains("end"))
            QCOMPARE(records->appendRunEnd(run.value,
                                           RunEnd{"1 unit written", 1, 1, 0, 0, {}, currentTime()}),
                     QString());
        if (!steps.contains("live"))
            records.reset(); // as a killed run's lock goes with it
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        if (steps.contains("torn"))
            bytes.chop(40);
        if (steps.contains("replaced"))
            bytes.replace(QJsonDocument::fromJson(bytes.left(bytes.indexOf('\n')))
                              .object()
                              .value("ledger-file")
                              .toString()
                              .toUtf8(),
                          "1:1");
        QVERIFY(file.resize(0));
        file.write(bytes);
        file.close();

        // What a station shows as records its ledger may lack, from the files alone.
        QCOMPARE(pendingJournalRecords(folder, location),
                 carried[0] + carried[1] + carried[2] + alreadyThere);
        const JournalSyncReport report = carryJournal(folder, *ledger);
        QCOMPARE(report.error, QString());
        QCOMPARE(pendingJournalRecords(folder, location), 0);
        QCOMPARE((QList<int>{report.units, report.hookOutcomes, report.runEnds}), carried);
        QCOMPARE(report.alreadyThere, alreadyThere);
        QCOMPARE(report.live, live);
        if (report.files > 0) {
            const QByteArray after = fileBytes(path);
            QVERIFY(wholeLines(after));
            QVERIFY(after.endsWith("{\"type\":\"settled\"}\n"));
        }
        const JournalSyncReport again = carryJournal(folder, *ledger);
        QCOMPARE(again.carried() + again.alreadyThere, 0);

        // What the ledger holds now: the unit once, and its address as recorded.
        const bool inLedger = carried[0] > 0 || steps.contains("in-ledger");
        QString error;
        auto opened = Ledger::open(location, Ledger::OpenMode::MustExist);
        Ledger &reader = *std::get<std::unique_ptr<Ledger>>(opened);
        int units = 0;
        QJsonObject ended;
        QCOMPARE(reader.exportRecords([&](const QJsonObject &record) {
            units += record.value("type") == "unit";
            if (record.value("type") == "run-end")
                ended = record;
        }),
                 QString());
        QCOMPARE(units, int(inLedger));
        QCOMPARE(reader.passedRecord(0x10000).value.has_value(), inLedger);
        QCOMPARE(ended.value("how").toString(), carried[2] ? QString("1 unit written") : QString());
        if (carried[1]) {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "hook-outcome");
            db.setDatabaseName(location.path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec("SELECT hook_status, hook_stderr FROM units") && query.next());
            QCOMPARE(query.value(0).toString(), QString("exit 3"));
            QCOMPARE(query.value(1).toString(), QString("jammed\n"));
        }
        QSqlDatabase::removeDatabase("hook-outcome");
    }

    // A server whose backend stopped answering (SIGSTOP): a call ends at its
    // bound, or soon after a stop. At the bound the connection it hung on is
    // cut, so the next call gets a connection of its own while that backend
    // still hangs; a run that stops asks a server that did not answer no more.
    void hungServer_data()
    {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<QString>("told");
        QTest::addColumn<QString>("next"); // what the next call is told, if it fails
        QTest::newRow("the bound")
            << 1000 << false << "no answer within 1 s (--ledger-timeout)" << QString();
        QTest::newRow("a stop") << 600000 << true << "no answer before the run stopped"
                                << "it did not answer an earlier call, and the run is stopping";
    }

    void hungServer()
    {
        QFETCH(int, timeoutMs);
        QFETCH(bool, stopped);
        QFETCH(QString, told);
        QFETCH(QString, next);
        PgServer server;
        const QString url = server.createDatabase("hung");
        QVERIFY2(!url.isEmpty(), qPrintable(server.error()));
        LedgerService service(std::get<LedgerLocation>(parseLedgerSpec(url)), timeoutMs);
        const auto ledger = service.client();
        const auto run = ledger->startRun(RunStart{});
        QVERIFY2(run.ok(), qPrintable(run.error));
        const QString backend = server.value(
            "postgres", "SELECT pid FROM pg_stat_activity WHERE application_name = 'korva'");
        QVERIFY2(backend.toInt() > 0, qPrintable(server.error()));
        QCOMPARE(::kill(backend.toInt(), SIGSTOP), 0);
        if (stopped)
            QTimer::singleShot(200, this, [&] { ledger->stop(); });
        const QString failed = ledger->recordUnit(passedUnit(run.value, 1, 0x10000));
        const auto lowest = ledger->nextFree({0x10000, 0x1FFFF});
        ::kill(backend.toInt(), SIGCONT);
        QVERIFY2(failed.contains(told) && failed.contains("cannot record unit 1"),
                 qPrintable(failed));
        if (next.isEmpty()) {
            QVERIFY2(lowest.ok(), qPrintable(lowest.error));
            QCOMPARE(lowest.value, 0x10000u);
        } else {
            QVERIFY2(lowest.error.contains(next), qPrintable(lowest.error));
        }
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
