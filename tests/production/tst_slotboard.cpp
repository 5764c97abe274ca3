#include "production/slotboard.h"

#include <QTest>

using namespace korva::production;

Q_DECLARE_METATYPE(QList<SlotState>)
Q_DECLARE_METATYPE(SlotState)

class TestSlotBoard : public QObject
{
    Q_OBJECT

private slots:
    // What a slot shows after a run of its events: a verdict stays, with what
    // to do next, until the slot's next unit is being written.
    void pictures_data()
    {
        QTest::addColumn<QList<SlotState>>("events");
        QTest::addColumn<SlotState>("shown");
        QTest::addColumn<QString>("next");
        using S = SlotState;
        QTest::newRow("nothing yet") << QList<S>{S::Waiting} << S::Waiting << "attach a unit";
        QTest::newRow("under way") << QList<S>{S::Waiting, S::Programming, S::Verifying}
                                   << S::Verifying << "leave the unit attached";
        QTest::newRow("PASS, taken off, waiting")
            << QList<S>{S::Programming, S::Passed, S::RemoveUnit, S::Waiting} << S::Passed
            << "attach the next unit";
        QTest::newRow("FAIL, then the run ends")
            << QList<S>{S::Programming, S::Verifying, S::Failed, S::Finished} << S::Failed
            << "remove the unit and set it aside";
        QTest::newRow("FAIL until the next unit is written")
            << QList<S>{S::Failed, S::RemoveUnit, S::Waiting, S::Programming} << S::Programming
            << "leave the unit attached";
        QTest::newRow("sent, not verified, after the run")
            << QList<S>{S::Programming, S::SentNotVerified, S::Finished} << S::SentNotVerified
            << "set it aside";
        QTest::newRow("not recorded")
            << QList<S>{S::Programming, S::PassedNotRecorded, S::RemoveUnit} << S::PassedNotRecorded
            << "set it aside: not on the ledger";
        QTest::newRow("adapter pulled after a PASS")
            << QList<S>{S::Passed, S::AdapterMissing} << S::Passed << "adapter missing: plug it in";
        QTest::newRow("already provisioned")
            << QList<S>{S::AlreadyProvisioned, S::RemoveUnit} << S::AlreadyProvisioned
            << "remove the unit: it was provisioned before";
        QTest::newRow("PASS, the run ends")
            << QList<S>{S::Passed, S::Finished} << S::Passed << "the run has ended";
    }
    void pictures()
    {
        QFETCH(QList<SlotState>, events);
        QFETCH(SlotState, shown);
        QFETCH(QString, next);
        SlotPicture picture;
        SlotTotals totals;
        for (const SlotState state : events) {
            picture.apply(SlotEvent{1, "/dev/ttyUSB0", state, 0x10, {}, -1});
            totals.count(state);
        }
        QCOMPARE(picture.shown().state, shown);
        QCOMPARE(picture.nextStep(), next);
        QCOMPARE(unitsOf(totals), int(std::count_if(events.begin(), events.end(), isVerdict)));
    }

    // Units per hour and yield over the trailing window, a point a minute;
    // units whose outcome is unknown count as units but not in the yield.
    void shift()
    {
        const QDateTime start = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);
        ShiftTally tally;
        QVERIFY(tally.points(start).isEmpty());
        for (int second = 0; second < 120; second += 10)
            tally.add(second < 60 ? SlotState::Passed : SlotState::Failed, start.addSecs(second));
        tally.add(SlotState::SentNotVerified, start.addSecs(119));
        tally.add(SlotState::Waiting, start.addSecs(119)); // no verdict: not counted
        QCOMPARE(unitsOf(tally.totals()), 13);
        const QList<ShiftTally::Point> points = tally.points(start.addSecs(20 * 60), 15);
        QCOMPARE(points.size(), 21);
        QCOMPARE(points.first().unitsPerHour, 6 * 3600.0 / 60);
        QCOMPARE(*points.first().yield, 100.0);
        QCOMPARE(points.at(1).unitsPerHour, 13 * 3600.0 / 120);
        QCOMPARE(*points.at(1).yield, 50.0);
        QCOMPARE(points.at(14).unitsPerHour, 13 * 4.0); // the whole window of 15 minutes
        QCOMPARE(points.at(15).unitsPerHour, 7 * 4.0);  // the first minute left the window
        QVERIFY(!points.last().yield);
        QCOMPARE(points.last().unitsPerHour, 0.0);
        QCOMPARE(tally.points(start.addSecs(20 * 60), 15, 5).size(), 5);
        QCOMPARE(yieldText(tally.totals()), QString("50.0 %"));
        QVERIFY(!unitsPerHour(3, 500));
    }
};

QTEST_GUILESS_MAIN(TestSlotBoard)
#include "tst_slotboard.moc"
