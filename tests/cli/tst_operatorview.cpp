#include "cli/operatorview.h"
#include "moduleemulator.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace korva::cli;
using korva::production::RunSummary;
using korva::production::SlotEvent;
using korva::production::SlotPicture;
using korva::production::SlotState;
using korva::production::SlotTotals;

Q_DECLARE_METATYPE(SlotPicture)
Q_DECLARE_METATYPE(SlotState)
Q_DECLARE_METATYPE(SlotTotals)

namespace
{

const QString kUsb = QStringLiteral("/dev/ttyUSB0");
const QString kByPath = QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0");
const QString kTxPower = QStringLiteral("tx-power: expected -21 dBm, got 0 dBm");

SlotEvent slotEvent(int slot, const QString &device, SlotState state,
                    std::optional<quint32> address = {}, const QString &detail = {},
                    qint64 unitMs = -1)
{
    return SlotEvent{slot, device, state, address, detail, unitMs};
}

QString visible(QString text)
{
    static const QRegularExpression sgr(QStringLiteral("\x1b\\[[0-9;]*m"));
    return text.remove(sgr);
}

// A run of two slots as an operator sees it: one unit passes, one fails.
const QList<SlotEvent> &run()
{
    static const QList<SlotEvent> events{
        slotEvent(1, kUsb, SlotState::Waiting),
        slotEvent(2, kByPath, SlotState::AdapterMissing),
        slotEvent(1, kUsb, SlotState::Programming, 0x20001),
        slotEvent(2, kByPath, SlotState::AlreadyProvisioned, 0x20000, "on 2026-12-05 at bench-2"),
        slotEvent(1, kUsb, SlotState::Verifying, 0x20001),
        slotEvent(1, kUsb, SlotState::Passed, 0x20001, {}, 1900),
        slotEvent(1, kUsb, SlotState::RemoveUnit, 0x20001),
        slotEvent(2, kByPath, SlotState::Waiting),
        slotEvent(2, kByPath, SlotState::Waiting),
        slotEvent(2, kByPath, SlotState::Programming, 0x20002),
        slotEvent(2, kByPath, SlotState::Failed, 0x20002, kTxPower, 2400),
    };
    return events;
}

RunSummary runSummary()
{
    return RunSummary{{{1, 0, 0}, {0, 1, 1}}, "stopped by SIGINT", 0x20003};
}

// Run as a child under a terminal: feeds the run into a view on stderr, one
// event every 150 ms so that each is drawn on its own.
int driveView()
{
    OperatorView view(STDERR_FILENO, false);
    view.message(QStringLiteral("korva-cli: the ledger is /tmp/line.sqlite"));
    QList<SlotEvent> events = run();
    QTimer step;
    QObject::connect(&step, &QTimer::timeout, [&] {
        if (!events.isEmpty()) {
            view.show(events.takeFirst());
            return;
        }
        step.stop();
        view.finish(runSummary());
        QCoreApplication::exit(view.failure().isEmpty() ? 0 : 1);
    });
    step.start(150);
    return QCoreApplication::exec();
}

} // namespace

class TestOperatorView : public QObject
{
    Q_OBJECT

private slots:
    void colour_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<bool>("noColorOption");
        QTest::addColumn<QByteArray>("noColorVariable"); // "-": unset
        QTest::addColumn<bool>("colour");

        QTest::newRow("terminal") << true << false << QByteArray("-") << true;
        QTest::newRow("NO_COLOR empty") << true << false << QByteArray("") << true;
        QTest::newRow("NO_COLOR set") << true << false << QByteArray("1") << false;
        QTest::newRow("--no-color") << true << true << QByteArray("-") << false;
        QTest::newRow("not a terminal") << false << false << QByteArray("-") << false;
    }
    void colour()
    {
        QFETCH(bool, terminal);
        QFETCH(bool, noColorOption);
        QFETCH(QByteArray, noColorVariable);
        QFETCH(bool, colour);
        if (noColorVariable == "-")
            qunsetenv("NO_COLOR");
        else
            qputenv("NO_COLOR", noColorVariable);
        QCOMPARE(colourWanted(terminal, noColorOption), colour);
        qunsetenv("NO_COLOR");
    }

    // A slot's row as the operator reads it; "block" is how the state cell is
    // drawn, empty where the table must hold no escape code at all. A verdict
    // stays with its reason until the slot's next unit, also after the run.
    void rows_data()
    {
        QTest::addColumn<SlotPicture>("row");
        QTest::addColumn<int>("style"); // 0 nothing, 1 bold and reverse, 2 colour too
        QTest::addColumn<bool>("utf8");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("block");

        const SlotEvent pass = slotEvent(1, kUsb, SlotState::Passed, 0x20003, {}, 1900);
        const SlotEvent fail = slotEvent(1, kUsb, SlotState::Failed, 0x20004, kTxPower);
        const SlotEvent finished = slotEvent(1, kUsb, SlotState::Finished);
        QTest::newRow("PASS in colour")
            << SlotPicture{pass, pass} << 2 << true << 80
            << "   1  /dev/ttyUSB0         PASS          00020003  in 1.9 s"
            << "\x1b[1;7;32m       PASS        \x1b[0m";
        QTest::newRow("FAIL without colour, its values under it")
            << SlotPicture{fail, fail} << 1 << true << 80
            << "   1  /dev/ttyUSB0         FAIL          00020004\n      " + kTxPower
            << "\x1b[1;7m       FAIL        \x1b[0m";
        QTest::newRow("FAIL, no terminal, wide")
            << SlotPicture{fail, fail} << 0 << true << 100
            << "   1  /dev/ttyUSB0         FAIL          00020004  " + kTxPower << "";
        QTest::newRow("result kept while the unit is removed")
            << SlotPicture{slotEvent(1, kUsb, SlotState::RemoveUnit), fail} << 2 << true << 80
            << "   1  /dev/ttyUSB0         FAIL          00020004\n      " + kTxPower +
                   "; remove the unit and set it aside"
            << "\x1b[1;7;31m       FAIL        \x1b[0m";
        QTest::newRow("FAIL kept once the run has ended")
            << SlotPicture{finished, fail} << 1 << true << 80
            << "   1  /dev/ttyUSB0         FAIL          00020004\n      " + kTxPower +
                   "; remove the unit and set it aside"
            << "\x1b[1;7m       FAIL        \x1b[0m";
        QTest::newRow("PASS kept while the next unit is awaited")
            << SlotPicture{slotEvent(1, kUsb, SlotState::Waiting), pass} << 0 << true << 100
            << "   1  /dev/ttyUSB0         PASS          00020003  in 1.9 s; attach the next unit"
            << "";
        QTest::newRow("sent, not verified")
            << SlotPicture{finished, slotEvent(1, kUsb, SlotState::SentNotVerified, 0x20005,
                                               "stopped after the packet")}
            << 2 << true << 80
            << "   1  /dev/ttyUSB0  sent, not verified   00020005\n      stopped after the "
               "packet; set it aside"
            << "\x1b[1;7;33msent, not verified \x1b[0m";
        QTest::newRow("not recorded")
            << SlotPicture{slotEvent(1, kUsb, SlotState::FailedNotRecorded, 0x20006)} << 0 << true
            << 80 << "   1  /dev/ttyUSB0  FAIL, NOT RECORDED   00020006"
            << "";
        QTest::newRow("already provisioned")
            << SlotPicture{slotEvent(1, kUsb, SlotState::AlreadyProvisioned, 0x20001,
                                     "on 2026-12-05")}
            << 2 << true << 80 << "   1  /dev/ttyUSB0  already provisioned  00020001  on 2026-12-05"
            << "\x1b[1;33malready provisioned\x1b[0m";
        QTest::newRow("device cut from the left")
            << SlotPicture{slotEvent(2, kByPath, SlotState::Programming, 0x20003)} << 0 << true
            << 80 << "   2  …usb-0:1.2:1.0-port0  programming          00020003" << QString();
        QTest::newRow("device cut, ASCII")
            << SlotPicture{slotEvent(2, kByPath, SlotState::Waiting)} << 0 << false << 100
            << "   2  ...00:14.0-usb-0:1.2:1.0-port0  waiting" << QString();
        QTest::newRow("narrow terminal") << SlotPicture{pass, pass} << 0 << true << 40
                                         << "   1  …ttyUSB0         PASS          00…" << QString();
    }
    void rows()
    {
        QFETCH(SlotPicture, row);
        QFETCH(int, style);
        QFETCH(bool, utf8);
        QFETCH(int, width);
        QFETCH(QString, text);
        QFETCH(QString, block);
        const QStringList lines =
            drawTable({row}, {}, width, 0, ViewStyle{style > 0, style > 1, utf8});
        QCOMPARE(visible(lines.mid(2, text.count(u'\n') + 1).join(u'\n')), text);
        for (const QString &line : lines)
            QVERIFY2(visible(line).size() <= width, qPrintable(line));
        if (block.isEmpty())
            QVERIFY(!lines.join(u'\n').contains(u'\x1b'));
        else
            QVERIFY2(lines.at(2).contains(block), qPrintable(lines.at(2)));
    }

    // The lines that fit a terminal: several slots as tiles where they fit,
    // with large letters where there is room, else the table with a count of
    // the slots left out; the large PASS or FAIL of a lone slot under its row.
    void layout_data()
    {
        QTest::addColumn<int>("slotCount");
        QTest::addColumn<SlotState>("state");
        QTest::addColumn<bool>("utf8");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("shown"); // on some line of the drawing

        const QString box = "└" + QString(38, u'─') + "┘";
        QTest::newRow("lone PASS") << 1 << SlotState::Passed << true << 80 << 24 << 9
                                   << "      ██          ██      ██  ████████    ████████"
                                   << "";
        QTest::newRow("lone FAIL, ASCII") << 1 << SlotState::Failed << false << 80 << 24 << 9
                                          << "      ##          ##      ##  ##########  ##########"
                                          << "";
        QTest::newRow("narrow banner")
            << 1 << SlotState::Passed << true << 40 << 24 << 9 << "      █     █   █ ████  ████"
            << "";
        QTest::newRow("short terminal, no banner")
            << 1 << SlotState::Passed << true << 80 << 8 << 3 << "   1  /dev/ttyUSB0         PASS"
            << "";
        QTest::newRow("waiting, no banner")
            << 1 << SlotState::Waiting << true << 80 << 24 << 3 << "   1  /dev/ttyUSB0  waiting"
            << "";
        QTest::newRow("four tiles, large letters") << 4 << SlotState::Failed << true << 80 << 24
                                                   << 23 << box + box << "│ █████  ███  █████ █";
        QTest::newRow("eight tiles, ASCII")
            << 8 << SlotState::Passed << false << 80 << 24 << 22 << "+" + QString(24, u'-') + "+"
            << "|00020008  in 1.0 s      |";
        QTest::newRow("four tiles on a short terminal: the table")
            << 4 << SlotState::Passed << true << 80 << 7 << 6 << "   4  /dev/ttyUSB0"
            << "";
        QTest::newRow("slots left out") << 30 << SlotState::Passed << true << 80 << 24 << 23
                                        << "10 more slots: the terminal is too small to show them"
                                        << "";
    }
    void layout()
    {
        QFETCH(int, slotCount);
        QFETCH(SlotState, state);
        QFETCH(bool, utf8);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, lines);
        QFETCH(QString, last);
        QFETCH(QString, shown);
        QList<SlotPicture> rows;
        for (int slot = 1; slot <= slotCount; ++slot) {
            rows << SlotPicture{slotEvent(slot, kUsb, state, 0x20000 + slot, {}, 1000)};
            rows.last().apply(rows.last().now);
        }
        const QStringList drawn = drawView(rows, {}, width, height, ViewStyle{true, true, utf8});
        const QString text = visible(drawn.join(u'\n'));
        QCOMPARE(drawn.size(), lines);
        QVERIFY2(visible(drawn.last()).startsWith(last), qPrintable(visible(drawn.last())));
        QVERIFY2(text.contains(shown), qPrintable(text));
        for (const QString &line : drawn)
            QVERIFY2(visible(line).size() <= width, qPrintable(text));
    }

    void totals_data()
    {
        QTest::addColumn<SlotTotals>("totals");
        QTest::addColumn<QString>("counters");
        QTest::addColumn<QString>("total");

        QTest::newRow("none yet") << SlotTotals{}
                                  << "passed 0   failed 0   already provisioned 0   yield -"
                                  << "total: passed 0, failed 0, already provisioned 0, yield -";
        QTest::newRow("some") << SlotTotals{3, 1, 2}
                              << "passed 3   failed 1   already provisioned 2   yield 75.0 %"
                              << "total: passed 3, failed 1, already provisioned 2, yield 75.0 %";
        QTest::newRow("not verified, not recorded: out of the yield")
            << SlotTotals{3, 1, 0, 1, 2}
            << "passed 3   failed 1   already provisioned 0   yield 75.0 %   not verified 1   not "
               "recorded 2"
            << "total: passed 3, failed 1, already provisioned 0, sent not verified 1, not "
               "recorded 2, yield 75.0 %";
    }
    void totals()
    {
        QFETCH(SlotTotals, totals);
        QFETCH(QString, counters);
        QFETCH(QString, total);
        QCOMPARE(visible(drawTable({}, totals, 100, 0, ViewStyle{true, true, true}).first()),
                 counters);
        QCOMPARE(summaryText(RunSummary{{totals}, {}, {}}, {}).split(u'\n').at(1), total);
    }

    // Not a terminal: a line for each change, none for a repeat, no escape
    // code; the summary at the end.
    void plainLines()
    {
        int pipe[2];
        QCOMPARE(::pipe(pipe), 0);
        OperatorView view(pipe[1], false);
        QVERIFY(!view.isTerminal());
        for (const SlotEvent &each : run())
            view.show(each);
        QCOMPARE(view.finish(runSummary()), QString());
        ::close(pipe[1]);
        QFile out;
        QVERIFY(out.open(pipe[0], QIODevice::ReadOnly, QFile::AutoCloseHandle));
        QCOMPARE(
            QString::fromUtf8(out.readAll()),
            QStringLiteral("slot 1 %1: waiting\n"
                           "slot 2 %2: adapter missing\n"
                           "slot 1 %1: programming 00020001\n"
                           "slot 2 %2: already provisioned as 00020000 on 2026-12-05 at bench-2\n"
                           "slot 1 %1: verifying 00020001\n"
                           "slot 1 %1: PASS 00020001 in 1.9 s\n"
                           "slot 1 %1: remove the unit 00020001\n"
                           "slot 2 %2: waiting\n"
                           "slot 2 %2: programming 00020002\n"
                           "slot 2 %2: FAIL 00020002 %3\n"
                           "slot 1 %1: passed 1, failed 0, already provisioned 0\n"
                           "slot 2 %2: passed 0, failed 1, already provisioned 1\n"
                           "total: passed 1, failed 1, already provisioned 1, yield 50.0 %\n"
                           "run ended: stopped by SIGINT\n"
                           "next free address: 00020003\n")
                .arg(kUsb, kByPath, kTxPower));
    }

    // A reader that went away: the view reports it and the program goes on.
    void readerGone()
    {
        int pipe[2];
        QCOMPARE(::pipe(pipe), 0);
        ::close(pipe[0]);
        OperatorView view(pipe[1], false);
        view.show(run().first());
        QVERIFY(view.failure().contains(QStringLiteral("pipe")));
        QCOMPARE(view.finish(runSummary()), view.failure());
        ::close(pipe[1]);
    }

    // The real thing under tmux. The view fed a run of two slots: after a
    // dozen drawings every tile is on the screen once, in place under the
    // message, with its verdict and reason, PASS in large green letters.
    // provision with stdout on the same terminal: each unit's line lands whole
    // above the table, which stays in one piece, its last PASS kept at the end.
    // A pane stays after its program ends, as tmux does not always see it go;
    // its note that the pane is dead scrolls the top line into the history.
    void terminalView_data()
    {
        QTest::addColumn<bool>("provision");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a run fed to the view")
            << false
            << QStringList{"korva-cli: the ledger is /tmp/line.sqlite",
                           "passed 1   failed 1   already provisioned 1   yield 50.0 %",
                           "│slot 1 /dev/ttyUSB0",
                           "│00020001  in 1.9 s",
                           "│slot 2 " + kByPath,
                           "│00020002  " + kTxPower,
                           "│remove the unit and set it aside",
                           "total: passed 1, failed 1, already provisioned 1, yield 50.0 %",
                           "run ended: stopped by SIGINT"};
        QTest::newRow("provision, stdout on the terminal")
            << true
            << QStringList{"\"address\":\"00020000\"",
                           "\"address\":\"00020001\"",
                           "passed 2   failed 0   already provisioned 0   yield 100.0 %",
                           "slot  device",
                           "PASS          00020001  in",
                           "total: passed 2, failed 0, already provisioned 0, yield 100.0 %"};
    }
    void terminalView()
    {
        QFETCH(bool, provision);
        QFETCH(QStringList, expected);
        const QString tmux = QStandardPaths::findExecutable(QStringLiteral("tmux"));
        QVERIFY2(!tmux.isEmpty(), "tmux is needed (make deps installs it)");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const auto tmuxRun = [&](const QStringList &arguments) {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("LC_ALL", "C.UTF-8");
            environment.insert("XDG_DATA_HOME", dir.path());
            environment.remove("NO_COLOR");
            environment.remove("TMUX");
            process.setProcessEnvironment(environment);
            process.setStandardInputFile(QProcess::nullDevice());
            process.start(tmux, QStringList{"-u", "-S", dir.filePath("socket"), "-f", "/dev/null"} +
                                    arguments);
            process.waitForFinished();
            return QString::fromUtf8(process.readAllStandardOutput());
        };
        korva::emu::ModuleEmulator unit;
        QString command = QCoreApplication::applicationFilePath() + " --drive";
        if (provision) {
            QFile profile(dir.filePath("profile.json"));
            QVERIFY(profile.open(QIODevice::WriteOnly));
            profile.write(R"({"tx-power": "-21 dBm"})");
            profile.close();
            unit.setLinkPath(dir.filePath("unit"));
            unit.setUnitSwap(300, korva::emu::ModuleEmulator::kDefaultConfig);
            command = QStringLiteral(KORVA_CLI_PROGRAM " provision --count 2 --addresses "
                                                       "00020000-0002FFFF --profile %1 --port %2")
                          .arg(profile.fileName(), dir.filePath("unit"));
        }
        tmuxRun({"new-session", "-d", "-s", "view", "-x", "80", "-y", "24", command, ";",
                 "set-option", "-w", "-t", "view", "remain-on-exit", "on"});
        const auto stopServer = qScopeGuard([&] { tmuxRun({"kill-server"}); });
        QString screen;
        QTRY_VERIFY_WITH_TIMEOUT(
            (screen = tmuxRun({"capture-pane", "-p", "-J", "-S", "-", "-t", "view"}))
                .contains("next free address"),
            30000);
        const QString styled = tmuxRun({"capture-pane", "-p", "-e", "-t", "view"});

        qsizetype previous = -1;
        for (const QString &line : expected) {
            QVERIFY2(screen.count(line) == 1, qPrintable(line + "\n" + screen));
            QVERIFY2(screen.indexOf(line) > previous, qPrintable(line + "\n" + screen));
            previous = screen.indexOf(line);
        }
        const QRegularExpressionMatch pass =
            QRegularExpression(provision ? "((?:\x1b\\[[0-9;]*m)+) +PASS"
                                         : "((?:\x1b\\[[0-9;]*m)+)█")
                .match(styled);
        const QStringList attributes = pass.captured(1).split(QRegularExpression("[^0-9]+"));
        QVERIFY2(attributes.contains("32") && attributes.contains(provision ? "7" : "1"),
                 qPrintable(styled));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--drive") == 0)
        return driveView();
    TestOperatorView test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_operatorview.moc"
