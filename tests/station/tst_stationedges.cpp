#include "production/ledger.h"
#include "station/stationwindow.h"

#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

#include <unistd.h>

using namespace korva::station;
namespace production = korva::production;

// The window at its edges, headless: a stop that comes while the start still
// waits for the ledger.
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

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestStationEdges)
#include "tst_stationedges.moc"
