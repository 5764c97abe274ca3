#include "production/unithook.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using korva::production::UnitHook;
using korva::production::UnitHookJob;
using korva::production::UnitHookOutcome;

namespace
{

UnitHookJob job(const QString &unit, const QByteArray &record, const QString &result,
                const QString &address = {}, const QString &device = {})
{
    UnitHookJob job;
    job.unit = unit;
    job.record = record;
    job.result = result;
    job.address = address;
    job.device = device;
    return job;
}

} // namespace

class TestUnitHook : public QObject
{
    Q_OBJECT

private slots:
    // What is recorded of one command: its status, the end of its stderr and
    // whether its record could be handed over.
    void outcome_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("stderrEnd");
        QTest::addColumn<int>("stdinError"); // 1 noted, 0 not, -1 either: it did not read

        const int kAmple = 10000;
        const QByteArray line = "{\"unit\":7,\"result\":\"passed\"}\n";
        QTest::newRow("gets its record and the unit")
            << "cat >&2; printf '%s|%s|%s' \"$KORVA_UNIT_RESULT\" \"$KORVA_UNIT_ADDRESS\" "
               "\"$KORVA_UNIT_DEVICE\" >&2"
            << line << kAmple << "exit 0"
            << QString::fromUtf8(line) + "passed|00020003|/dev/ttyUSB0" << 0;
        QTest::newRow("fails") << "echo printer offline >&2; exit 3" << line << kAmple << "exit 3"
                               << "printer offline\n"
                               << -1;
        QTest::newRow("stderr cut to its last 2 KiB")
            << "head -c 3000 /dev/zero | tr '\\0' x >&2; echo END >&2" << line << kAmple << "exit 0"
            << QString(2044, u'x') + "END\n"
            << -1;
        QTest::newRow("not found") << "no-such-label-printer" << line << kAmple << "exit 127"
                                   << "no-such-label-printer: not found\n"
                                   << -1;
        QTest::newRow("killed") << "kill -9 $$" << line << kAmple << "killed by signal 9"
                                << QString() << -1;
        QTest::newRow("sleeps past its limit")
            << "echo printing >&2; sleep 20" << line << 300 << "timed out after 0.3 s"
            << "printing\n"
            << -1;
        QTest::newRow("ignores SIGTERM") << "trap '' TERM; sleep 20" << line << 300
                                         << "timed out after 0.3 s" << QString() << -1;
        QTest::newRow("closes stdin before a large record")
            << "exec 0<&-; sleep 1" << QByteArray(1 << 20, 'x') << kAmple << "exit 0" << QString()
            << 1;
    }
    void outcome()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, record);
        QFETCH(QString, status);
        QFETCH(QString, stderrEnd);
        QFETCH(int, limitMs);
        QFETCH(int, stdinError);
        UnitHook hook(command);
        hook.setTimeLimit(limitMs);
        QList<UnitHookOutcome> outcomes;
        connect(&hook, &UnitHook::finished, this,
                [&](const UnitHookOutcome &outcome) { outcomes << outcome; });
        hook.run(job("run 1 unit 7", record, "passed", "00020003", "/dev/ttyUSB0"));
        QVERIFY(outcomes.isEmpty());
        hook.waitForPending();
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].job.unit, "run 1 unit 7");
        QCOMPARE(outcomes[0].status, status);
        QVERIFY2(outcomes[0].stderrTail.endsWith(stderrEnd), qPrintable(outcomes[0].stderrTail));
        QVERIFY(outcomes[0].stderrTail.toUtf8().size() <= UnitHook::kStderrTailBytes);
        if (stdinError >= 0)
            QCOMPARE(int(!outcomes[0].stdinError.isEmpty()), stdinError);
    }

    // At its limit a command's whole group ends, whatever the shell did: a
    // child that ignores SIGTERM, or one left behind by a shell that exited at
    // once. It is pending until then, and endAll() ends it at once.
    void groupEnds_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("endAll"); // ended by a stop rather than by its limit
        QTest::addColumn<QString>("status");
        QTest::newRow("shell outlives its limit, child ignores SIGTERM")
            << "(trap '' TERM; exec sleep 300) & exec sleep 100" << false
            << "timed out after 0.5 s";
        QTest::newRow("shell exits at once, child ignores SIGTERM")
            << "(trap '' TERM; exec sleep 300) & exit 0" << false << "exit 0";
        QTest::newRow("stopped") << "(trap '' TERM; exec sleep 300) & exec sleep 100" << true
                                 << "stopped with the run";
    }
    void groupEnds()
    {
        QFETCH(QString, command);
        QFETCH(bool, endAll);
        QFETCH(QString, status);
        QTemporaryDir dir;
        UnitHook hook("echo $$ > '" + dir.filePath("group") + "'; " + command);
        hook.setTimeLimit(endAll ? 600000 : 500);
        QString ended;
        connect(&hook, &UnitHook::finished, this,
                [&](const UnitHookOutcome &outcome) { ended = outcome.status; });
        hook.run(job("run 1 unit 1", "{}\n", "passed"));
        QTRY_VERIFY(QFileInfo(dir.filePath("group")).size() > 0);
        QFile file(dir.filePath("group"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const pid_t group = pid_t(file.readAll().trimmed().toLongLong());
        QTest::qWait(100);
        QCOMPARE(hook.pending(), 1);
        if (endAll)
            hook.endAll();
        hook.waitForPending();
        QCOMPARE(ended, status);
        QCOMPARE(hook.pending(), 0);
        QCOMPARE(::kill(-group, 0), -1); // nothing of the group is left, not even a zombie
    }

    // Commands run side by side and report as each ends; a slow one holds up
    // neither the others nor the event loop.
    void severalAtOnce()
    {
        UnitHook hook("case $KORVA_UNIT_RESULT in slow) sleep 20;; failed) exit 1;; esac");
        hook.setTimeLimit(500);
        QStringList reports;
        connect(&hook, &UnitHook::finished, this, [&](const UnitHookOutcome &outcome) {
            reports << outcome.job.unit + ": " + outcome.status;
        });
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(20);
        for (const char *result : {"slow", "failed", "passed"})
            hook.run(job(QString::fromLatin1(result), "{}\n", result));
        QCOMPARE(hook.pending(), 3);
        hook.waitForPending();
        QCOMPARE(hook.pending(), 0);
        QCOMPARE(reports.size(), 3);
        QCOMPARE(reports.last(), "slow: timed out after 0.5 s");
        QVERIFY(reports.contains("failed: exit 1"));
        QVERIFY(reports.contains("passed: exit 0"));
        QVERIFY2(ticks >= 2, qPrintable(QString::number(ticks)));
    }
};

QTEST_GUILESS_MAIN(TestUnitHook)

#include "tst_unithook.moc"
