#include "production/ledger.h"
#include "station/slottile.h"
#include "station/stationwindow.h"

#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

#include <unistd.h>

using korva::production::SlotState;
using namespace korva::station;
namespace production = korva::production;

// The window at its edges, headless: a stop that comes while the start still
// waits for the ledger, and tiles whose PASS or FAIL must fit whatever the
// window's shape.
class TestStationEdges : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile profile(m_dir.filePath("profile.json"));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"tx-power": "-21 dBm"})");
    }

    // The ledger is locked by another program, so the run's start waits on it
    // when the stop comes: no run follows, the controls are those of a window
    // without a run, and a stop signal still closes the window.
    void stopWhileStarting_data()
    {
        QTest::addColumn<bool>("bySignal");
        QTest::newRow("Stop: the window stays, ready to start") << false;
        QTest::newRow("SIGTERM: the window closes") << true;
    }
    void stopWhileStarting()
    {
        QFETCH(bool, bySignal);
        const QString ledger = m_dir.filePath(QStringLiteral("locked-%1.sqlite").arg(bySignal));
        const auto where =
            std::get<production::LedgerLocation>(production::parseLedgerSpec(ledger));
        QVERIFY(std::holds_alternative<std::unique_ptr<production::Ledger>>(
            production::Ledger::open(where, production::Ledger::OpenMode::CreateIfMissing)));
        {
            QSqlDatabase locker = QSqlDatabase::addDatabase("QSQLITE", "locker");
            locker.setDatabaseName(ledger);
            QVERIFY(locker.open() && QSqlQuery(locker).exec("BEGIN EXCLUSIVE"));

            production::Job job;
            job.profile = m_dir.filePath("profile.json");
            job.addresses = production::AddressRange{0x30000, 0x3FFFF};
            job.ledger = ledger;
            job.ports = {m_dir.filePath("absent-slot")};
            StationWindow window;
            window.setJob(job);
            window.show();
            window.watchStopSignals();
            QTimer::singleShot(1000, &window, [&window, bySignal] {
                if (bySignal)
                    ::kill(::getpid(), SIGTERM);
                else
                    window.stopRun();
            });
            window.startRun();
            QVERIFY(!window.isRunning());
            QVERIFY2(window.message().startsWith("Not started"), qPrintable(window.message()));
            QCOMPARE(window.isVisible(), !bySignal);
            QVERIFY(window.findChild<QPushButton *>("startButton")->isEnabled());
            QVERIFY(!window.findChild<QPushButton *>("stopButton")->isEnabled());
            QVERIFY(window.findChild<QPushButton *>("jobButton")->isEnabled());
            locker.close();
        }
        QSqlDatabase::removeDatabase("locker");
    }

    // Whatever the grid's shape, PASS and FAIL fit their tiles, in letters a
    // quarter of the tile's height or more where some number of columns allows it.
    void verdictsFit_data()
    {
        QTest::addColumn<int>("tiles");
        QTest::addColumn<QSize>("area");
        QTest::addColumn<bool>("quarter");
        QTest::newRow("4 slots, a wide short band") << 4 << QSize(1004, 350) << true;
        QTest::newRow("4 slots, a little taller") << 4 << QSize(1004, 380) << true;
        QTest::newRow("4 slots, square") << 4 << QSize(700, 700) << true;
        QTest::newRow("8 slots, 1024 by 768") << 8 << QSize(1004, 420) << true;
        QTest::newRow("8 slots, full HD") << 8 << QSize(1900, 800) << true;
        QTest::newRow("2 slots, a narrow window") << 2 << QSize(500, 700) << true;
        QTest::newRow("2 slots, a strip too narrow for a quarter") << 2 << QSize(300, 900) << false;
        QTest::newRow("1 slot") << 1 << QSize(1004, 420) << true;
    }
    void verdictsFit()
    {
        QFETCH(int, tiles);
        QFETCH(QSize, area);
        QFETCH(bool, quarter);
        TileGrid grid;
        grid.setCount(tiles);
        grid.resize(area);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        for (const SlotState state : {SlotState::Passed, SlotState::Failed}) {
            for (int index = 0; index < tiles; ++index) {
                SlotTile *tile = grid.tile(index);
                production::SlotPicture picture;
                picture.apply({index + 1, "/dev/ttyUSB0", state, 0x30001, {}, 1000});
                tile->setPicture(picture);
                const QString shape = QStringLiteral("%1 in %2x%3, %4 columns")
                                          .arg(tile->word())
                                          .arg(tile->width())
                                          .arg(tile->height())
                                          .arg(grid.columns());
                QVERIFY2(tile->wordWidth() <= tile->width() * 0.95, qPrintable(shape));
                QVERIFY2(!quarter || tile->letterHeight() >= tile->height() / 4.0,
                         qPrintable(shape));
            }
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestStationEdges)
#include "tst_stationedges.moc"
