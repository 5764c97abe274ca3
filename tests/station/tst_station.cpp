#include "moduleemulator.h"
#include "production/ledger.h"
#include "provisioning.h"
#include "station/counterspanel.h"
#include "station/jobdialog.h"
#include "station/ledgerhealth.h"
#include "station/recentunits.h"
#include "station/slottile.h"
#include "station/stationoptions.h"
#include "station/stationwindow.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <csignal>
#include <memory>
#include <vector>

#include <unistd.h>

using korva::emu::ModuleEmulator;
using korva::production::SlotState;
using namespace korva::station;
namespace production = korva::production;

namespace
{

constexpr int kSlots = 4;
constexpr int kSwapMs = 300;
constexpr int kSwapWrittenTwiceMs = 800;
constexpr int kRunMs = 90000;
const QString kReason = QStringLiteral("tx-power: expected -21 dBm, got 0 dBm");

// Keys pressed through the X server, to the window under the pointer.
bool pressKeys(QWidget *window, const QString &keys)
{
    const QPoint corner = window->mapToGlobal(QPoint(4, 4));
    QProcess xdotool;
    QSignalSpy done(&xdotool, &QProcess::finished);
    xdotool.start(QStringLiteral("xdotool"),
                  {"mousemove", QString::number(corner.x()), QString::number(corner.y()), "sleep",
                   "0.1", "key", keys});
    return done.wait(10000) && xdotool.exitCode() == 0;
}

// The unit records of a ledger, in the order they were written.
QList<QJsonObject> ledgerUnits(const QString &path)
{
    QList<QJsonObject> units;
    auto opened = production::Ledger::open(
        std::get<production::LedgerLocation>(production::parseLedgerSpec(path)),
        production::Ledger::OpenMode::MustExist);
    if (auto *ledger = std::get_if<std::unique_ptr<production::Ledger>>(&opened)) {
        (*ledger)->exportRecords([&units](const QJsonObject &record) {
            if (record.value("type") == "unit")
                units << record;
        });
    }
    return units;
}

// The controls of a window that a person uses, in no order.
QList<QWidget *> controls(QWidget *top)
{
    QList<QWidget *> found;
    for (QWidget *widget : top->findChildren<QWidget *>()) {
        const bool inside = qobject_cast<QComboBox *>(widget->parentWidget()) ||
                            qobject_cast<QAbstractSpinBox *>(widget->parentWidget()) ||
                            qobject_cast<QAbstractItemView *>(widget->parentWidget());
        if (!inside && widget->isVisibleTo(top) &&
            (qobject_cast<QAbstractButton *>(widget) || qobject_cast<QAbstractItemView *>(widget) ||
             qobject_cast<QComboBox *>(widget) || qobject_cast<QLineEdit *>(widget) ||
             qobject_cast<QAbstractSpinBox *>(widget) || qobject_cast<SlotTile *>(widget)))
            found << widget;
    }
    return found;
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QFAIL("needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb");
        QVERIFY2(!QStandardPaths::findExecutable("xdotool").isEmpty(),
                 "xdotool not found: run 'make deps'");
        QVERIFY(m_dir.isValid());
        QFile profile(m_dir.filePath("profile.json"));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
    }

    // A job from a file, started as --start starts it, on four emulated
    // slots whose units are swapped as they are done: the tiles, the
    // counters, the recent units and the ledger agree with what went over
    // each line, and every module is left in data mode, however the run ends.
    void runs_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("target"); // 0: open-ended, stopped
        QTest::newRow("a job from a file, to its target") << "" << 8;
        QTest::newRow("stopped with Shift+F5, the job locked meanwhile") << "stop" << 0;
        QTest::newRow("stopped twice: every step ends at once") << "stop now" << 0;
        QTest::newRow("stopped by SIGTERM, the window closes") << "signal" << 0;
        QTest::newRow("a unit that keeps a byte: FAIL with its reason") << "fail" << 4;
        QTest::newRow("an adapter pulled mid-run") << "pull" << 0;
    }
    void runs()
    {
        QFETCH(QString, fault);
        QFETCH(int, target);
        const QString folder = m_dir.filePath(QTest::currentDataTag());
        QVERIFY(QDir().mkpath(folder));
        std::vector<std::unique_ptr<ModuleEmulator>> lines;
        QStringList ports;
        for (int slot = 1; slot <= kSlots; ++slot) {
            auto &line = lines.emplace_back(std::make_unique<ModuleEmulator>());
            ports << QStringLiteral("%1/slot%2").arg(folder).arg(slot);
            line->setLinkPath(ports.last());
            const bool keeps = fault == "fail" && slot == 2;
            line->setKeptBytes(keeps ? QList<int>{10} : QList<int>{});
            line->setUnitSwap(keeps ? kSwapWrittenTwiceMs : kSwapMs,
                              ModuleEmulator::kDefaultConfig);
        }
        const QString ledger = folder + "/ledger.sqlite";
        QJsonObject job{{"profile", m_dir.filePath("profile.json")},
                        {"addresses", "00030000-0003FFFF"},
                        {"ledger", ledger},
                        {"ports", QJsonArray::fromStringList(ports)},
                        {"station", "bench-7"},
                        {"order", "lot 9"}};
        if (target > 0)
            job.insert("target", target);
        QFile file(folder + "/job.json");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(job).toJson());
        file.close();

        const StationOptions options = parseStationOptions({file.fileName(), "--start"});
        QString refused;
        StationWindow window;
        window.setJob(jobOf(options, refused), options.jobFile);
        QVERIFY2(refused.isEmpty() && options.start, qPrintable(refused));
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.watchStopSignals();
        QSignalSpy finished(&window, &StationWindow::runFinished);
        window.startRun();
        QVERIFY2(window.isRunning(), qPrintable(window.message()));
        QTreeWidget *recent = window.recentUnits()->list();

        if (fault == "pull") {
            // The first slot's adapter goes once it has done a unit, for good.
            SlotTile *first = window.tiles()->tile(0);
            QTRY_VERIFY_WITH_TIMEOUT(first->picture().verdict, kRunMs);
            lines.front()->setUnitSwap(-1, {});
            lines.front()->hangUp();
            QTRY_COMPARE_WITH_TIMEOUT(first->picture().now.state, SlotState::AdapterMissing, 5000);
            QTest::qWait(2000);
            QCOMPARE(first->picture().now.state, SlotState::AdapterMissing);
            QCOMPARE(first->nextStep(), QString("adapter missing: plug it in"));
            QVERIFY(first->picture().verdict); // its last verdict stays on show
        }
        if (fault.startsWith("stop") || fault == "signal" || fault == "pull") {
            QTRY_VERIFY_WITH_TIMEOUT(recent->topLevelItemCount() >= kSlots, kRunMs);
            const QString before = QString::fromUtf8(production::jobJson(window.job()));
            QVERIFY(!window.findChild<QWidget *>("jobButton")->isEnabled());
            QVERIFY(pressKeys(&window, "ctrl+j"));
            QTest::qWait(300);
            QVERIFY(!window.findChild<JobDialog *>());
            QCOMPARE(QString::fromUtf8(production::jobJson(window.job())), before);
            if (fault == "signal")
                ::kill(::getpid(), SIGTERM);
            else
                QVERIFY(pressKeys(&window, "shift+F5"));
            auto *stop = window.findChild<QPushButton *>("stopButton");
            // Slots that were only waiting end at once: a second stop is for a run still ending.
            if (fault == "stop now" && window.isRunning()) {
                QVERIFY(stop->isEnabled() && stop->text().contains("now"));
                QVERIFY(pressKeys(&window, "shift+F5"));
                QVERIFY(!stop->isEnabled());
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kRunMs);
        QVERIFY(!window.isRunning());
        QCOMPARE(window.isVisible(), fault != "signal");

        const QList<QJsonObject> units = ledgerUnits(ledger);
        int passed = 0;
        for (const QJsonObject &unit : units) {
            passed += unit.value("result") == "passed";
            QCOMPARE(unit.value("order").toString(), QString("lot 9")); // kept with the run
        }
        CountersPanel *counters = window.counters();
        QCOMPARE(counters->value("passed", "run"), QString::number(passed));
        QCOMPARE(counters->value("passed", "job"), QString::number(passed));
        QCOMPARE(counters->value("failed", "run"), QString::number(units.size() - passed));
        QCOMPARE(recent->topLevelItemCount(), int(units.size()));
        for (int row = 1; row < recent->topLevelItemCount(); ++row)
            QVERIFY(recent->topLevelItem(row - 1)->text(0) >= recent->topLevelItem(row)->text(0));
        // Every record reached the ledger: the journal holds none it lacks.
        QTRY_COMPARE(window.ledgerHealth()->journalText(), QString("0"));
        if (target > 0) {
            QCOMPARE(passed, target);
            QVERIFY(window.message().contains("the target of"));
        }
        for (int slot = 1; slot <= kSlots; ++slot) {
            const ModuleEmulator &line = *lines[size_t(slot - 1)];
            // A line pulled while in command mode never gets its "---".
            if (fault != "pull" || slot > 1) {
                QTRY_VERIFY(!line.inCommandMode());
                QCOMPARE(line.receivedBytes().count("+++"), line.receivedBytes().count("---"));
            }
            QList<quint32> recorded;
            QList<quint32> written; // a unit written twice has two packets
            for (const QJsonObject &unit : units) {
                if (unit.value("device") != ports.at(slot - 1))
                    continue;
                recorded << unit.value("address").toString().toUInt(nullptr, 16);
                written << QList<quint32>(unit.value("writes").toInt(), recorded.last());
            }
            QCOMPARE(packetAddresses(line), written);
            const SlotTile *tile = window.tiles()->tile(slot - 1);
            if (!recorded.isEmpty() && tile->picture().verdict)
                QCOMPARE(*tile->picture().verdict->address, recorded.last());
        }

        if (fault == "fail") {
            const SlotTile *failing = window.tiles()->tile(1);
            QCOMPARE(failing->word(), QString("FAIL"));
            QVERIFY2(failing->picture().shown().detail.contains(kReason),
                     qPrintable(failing->picture().shown().detail));
            QCOMPARE(failing->fill(), QColor(0xc0, 0x20, 0x20));
            QVERIFY(failing->letterHeight() >= failing->height() / 4.0);
            QVERIFY(QAccessible::queryAccessibleInterface(const_cast<SlotTile *>(failing))
                        ->text(QAccessible::Name)
                        .startsWith("Slot 2: FAIL"));
            QVERIFY(!recent->findItems(kReason, Qt::MatchContains, 4).isEmpty());
            QVERIFY(counters->value("yield", "run") != "100.0 %");
        } else if (fault.isEmpty()) {
            QCOMPARE(counters->value("yield", "run"), QString("100.0 %"));
            QCOMPARE(window.findChild<QProgressBar *>("targetProgress")->value(), target);
        }
    }

    // Every control has a name a screen reader says, Tab reaches each one,
    // and a tile's state is text that is announced when it changes; the
    // window fits 1024 by 768 with eight slots.
    void accessibility_data()
    {
        QTest::addColumn<bool>("dialog");
        QTest::newRow("the window, eight slots") << false;
        QTest::newRow("the job dialog") << true;
    }
    void accessibility()
    {
        QFETCH(bool, dialog);
        production::Job job;
        job.profile = m_dir.filePath("profile.json");
        job.addresses = production::AddressRange{0x30000, 0x3FFFF};
        for (int slot = 1; slot <= 8; ++slot)
            job.ports << QStringLiteral("/dev/serial/by-path/fixture-%1").arg(slot);
        StationWindow window;
        window.setJob(job);
        JobDialog jobDialog;
        jobDialog.setJob(job, {});
        QWidget *top = dialog ? static_cast<QWidget *>(&jobDialog) : &window;
        top->show();
        top->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(top));
        if (!dialog) {
            QVERIFY(window.minimumSizeHint().width() <= 1024);
            QVERIFY(window.minimumSizeHint().height() <= 768);
            QCOMPARE(window.size(), QSize(1024, 768));
            for (int index = 0; index < 8; ++index) {
                const SlotTile *tile = window.tiles()->tile(index);
                QVERIFY(tile->width() >= 150 && tile->height() >= 100);
            }
        }
        const QList<QWidget *> all = controls(top);
        QSet<QWidget *> reachable;
        for (QWidget *control : all) {
            QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(control);
            QVERIFY2(
                spoken && !spoken->text(QAccessible::Name).isEmpty(),
                qPrintable(control->metaObject()->className() + (" " + control->objectName())));
            if (control->isEnabled() && (control->focusPolicy() & Qt::TabFocus))
                reachable.insert(control);
        }
        QSet<QWidget *> reached;
        (*reachable.begin())->setFocus(Qt::TabFocusReason);
        for (int press = 0; press < 2 * all.size() && QApplication::focusWidget(); ++press) {
            QWidget *focus = QApplication::focusWidget();
            while (focus && !all.contains(focus))
                focus = focus->parentWidget();
            reached.insert(focus);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        for (QWidget *control : std::as_const(reachable))
            QVERIFY2(reached.contains(control), qPrintable(control->objectName()));
        if (dialog)
            return;

        SlotTile *tile = window.tiles()->tile(0);
        QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(tile);
        QCOMPARE(spoken->role(), QAccessible::StaticText);
        QSignalSpy announced(tile, &SlotTile::announced);
        production::SlotPicture picture;
        picture.apply({1, job.ports.first(), SlotState::Failed, 0x30001, kReason, 1700});
        tile->setPicture(picture);
        tile->setPicture(picture); // the same state is not said again
        QCOMPARE(announced.size(), 1);
        QCOMPARE(spoken->text(QAccessible::Name),
                 QString("Slot 1: FAIL, 00030001; remove the unit and set it aside"));
        QCOMPARE(spoken->text(QAccessible::Description), kReason);
        // PASS and FAIL keep their colours on a dark palette; the rest follow it.
        QPalette dark;
        dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
        tile->setPalette(dark);
        QCOMPARE(tile->fill(), QColor(0xc0, 0x20, 0x20));
        QCOMPARE(window.tiles()->tile(1)->fill(),
                 window.tiles()->tile(1)->palette().color(QPalette::Base));
    }

    // The command line: a job file with options over its fields, and what is refused.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::newRow("job and options")
            << QStringList{"JOB", "--port", "/dev/ttyUSB9", "--target", "5", "--start"} << "";
        QTest::newRow("two job files") << QStringList{"JOB", "JOB"} << "unexpected argument";
        QTest::newRow("target 0") << QStringList{"--target", "0"} << "--target needs a number";
        QTest::newRow("a port twice") << QStringList{"--port", "1", "--port", "1"} << "given twice";
        QTest::newRow("an empty value") << QStringList{"--station", " "} << "needs a value";
        QTest::newRow("a bad ledger") << QStringList{"--ledger", "postgresql://"} << "--ledger: ";
        QTest::newRow("an unknown option") << QStringList{"--colour"} << "Unknown option";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const QString jobFile = m_dir.filePath("options.json");
        production::Job saved;
        saved.ports = {"/dev/ttyUSB1", "/dev/ttyUSB2"};
        saved.station = "bench-3";
        QCOMPARE(production::saveJob(saved, jobFile), QString());
        const StationOptions options =
            parseStationOptions(arguments.replaceInStrings("JOB", jobFile));
        QVERIFY2(error.isEmpty() ? options.error.isEmpty() : options.error.contains(error),
                 qPrintable(options.error));
        if (!error.isEmpty())
            return;
        QString refused;
        const production::Job job = jobOf(options, refused);
        QCOMPARE(job.ports, QStringList{"/dev/ttyUSB9"});
        QCOMPARE(job.station, QString("bench-3"));
        QCOMPARE(job.target, 5);
        QVERIFY(options.start);
    }

    // The job dialog shows the profile's checksum and fields, hands back the
    // job as edited, saves and opens job files, and is not accepted with a
    // job that would not start, saying why.
    void jobDialog()
    {
        production::Job job;
        job.profile = m_dir.filePath("profile.json");
        job.addresses = production::AddressRange{0x30000, 0x3FFFF};
        job.ledger = m_dir.filePath("dialog.sqlite");
        job.ports = {m_dir.filePath("fixture-1")};
        JobDialog dialog;
        dialog.setJob(job, {});
        QFile profile(job.profile);
        QVERIFY(profile.open(QIODevice::ReadOnly));
        QCOMPARE(
            dialog.findChild<QLabel *>("jobChecksum")->text(),
            QString::fromLatin1(
                QCryptographicHash::hash(profile.readAll(), QCryptographicHash::Sha256).toHex()));
        QVERIFY(!dialog.findChild<QTreeWidget *>("jobFields")
                     ->findItems("-21 dBm", Qt::MatchExactly, 1)
                     .isEmpty());
        dialog.findChild<QLineEdit *>("jobOrder")->setText("PO-12");
        dialog.findChild<QAbstractSpinBox *>("jobTarget")->findChild<QLineEdit *>()->setText("40");
        dialog.findChild<QAbstractSpinBox *>("jobTarget")->interpretText();
        QCOMPARE(dialog.job().order, QString("PO-12"));
        QCOMPARE(dialog.job().target, 40);
        const QString saved = m_dir.filePath("dialog-job.json");
        QVERIFY(dialog.saveFile(saved));
        JobDialog again;
        QVERIFY(again.openFile(saved));
        QCOMPARE(production::jobJson(again.job()), production::jobJson(dialog.job()));

        dialog.findChild<QLineEdit *>("jobAddresses")->setText("0003-0001");
        dialog.show();
        dialog.accept();
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.findChild<QLabel *>("jobSaid")->text().contains("FROM-TO"));
        dialog.findChild<QLineEdit *>("jobAddresses")->setText("00030000-0003FFFF");
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
