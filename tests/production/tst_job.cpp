#include "production/job.h"
#include "production/unitbudget.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace korva::production;

namespace
{

Job fullJob(const QString &folder)
{
    Job job;
    job.profile = folder + "/unit.json";
    job.addresses = AddressRange{0x10000, 0x1FFFF};
    job.ledger = "postgresql://line@db.example/korva";
    job.ports = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0", "3"};
    job.baud = "19200";
    job.band = "868Mhz";
    job.station = "bench 2";
    job.operatorName = "Ana";
    job.order = "PO-4711 lot 3";
    job.count = 600;
    job.target = 500;
    job.reprovision = true;
    return job;
}

QString refusalOf(const std::variant<Job, QString> &loaded)
{
    const auto *refusal = std::get_if<QString>(&loaded);
    return refusal ? *refusal : QString();
}

} // namespace

class TestJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile profile(m_dir.filePath("unit.json"));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"tx-power": "-21 dBm"})");
    }

    // A job saved and opened again is the same job; paths in a file are taken
    // from its folder, URLs, port numbers and bare device names as they stand.
    void savedAndOpened()
    {
        const QString path = m_dir.filePath("job.json");
        const Job job = fullJob(m_dir.path());
        QCOMPARE(saveJob(job, path), QString());
        const auto loaded = loadJob(path);
        QVERIFY2(std::holds_alternative<Job>(loaded), qPrintable(refusalOf(loaded)));
        QCOMPARE(jobJson(std::get<Job>(loaded)), jobJson(job));

        QFile relative(m_dir.filePath("relative.json"));
        QVERIFY(relative.open(QIODevice::WriteOnly));
        relative.write(R"({"profile": "unit.json", "ledger": "line/ledger.sqlite",
                           "ports": ["by-path/a", "ttyUSB0", "2"], "band": "868MHZ"})");
        relative.close();
        const auto second = loadJob(relative.fileName());
        QVERIFY2(std::holds_alternative<Job>(second), qPrintable(refusalOf(second)));
        const Job read = std::get<Job>(second);
        QCOMPARE(read.profile, m_dir.filePath("unit.json"));
        QCOMPARE(read.ledger, m_dir.filePath("line/ledger.sqlite"));
        QCOMPARE(read.ports, QStringList({m_dir.filePath("by-path/a"), "ttyUSB0", "2"}));
        QCOMPARE(read.band, QString("868Mhz"));
        QVERIFY(saveJob(job, "/nonexistent/job.json").startsWith("cannot write the job"));
    }

    // A job file that says anything unclearly is refused, naming the key.
    void refusedFiles_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const char *json, const char *error) {
            QTest::newRow(name) << QByteArray(json) << QString(error);
        };
        row("not JSON", "{\"target\": ", "not valid JSON");
        row("a list", "[]", "a job is one JSON object");
        row("a profile", R"({"tx-power": "0 dBm"})", "unknown key \"tx-power\" (keys: korva-job,");
        row("a key twice", "{\"order\": \"a\",\n \"order\": \"b\"}",
            "\"order\" is given twice, on lines 1 and 2");
        row("a later format", R"({"korva-job": 2})", "\"korva-job\" is 2");
        row("target as text", R"({"target": "5"})", "\"target\" must be a whole number, 1 or more");
        row("count zero", R"({"count": 0})", "\"count\" must be a whole number");
        row("count a fraction", R"({"count": 2.5})", "\"count\" must be a whole number");
        row("ports a text", R"({"ports": "/dev/ttyUSB0"})", "\"ports\" must be a list of texts");
        row("a blank port", R"({"ports": [" "]})", "\"ports\" must be a list of texts");
        row("a port twice", R"({"ports": ["1", "1"]})", "\"ports\" holds a port twice");
        row("an empty name", R"({"station": ""})", "\"station\" must be a text that is not empty");
        row("a flag as text", R"({"reprovision": "yes"})", "\"reprovision\" must be true or false");
        row("a range", R"({"addresses": "0001-0002"})", "\"addresses\" needs FROM-TO");
        row("a band", R"({"band": "915Mhz"})", "\"band\" must be 433Mhz or 868Mhz, not \"915Mhz\"");
        row("a tab in a station", R"({"station": "a\tb"})",
            "\"station\" holds a control character");
        row("an escape in an order", "{\"order\": \"\\u001b[31mPO\"}",
            "\"order\" holds a control character (U+001B)");
    }
    void refusedFiles()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        QFile file(m_dir.filePath("refused.json"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(json);
        file.close();
        const auto loaded = loadJob(file.fileName());
        QVERIFY2(refusalOf(loaded).startsWith("job " + file.fileName() + ": " + error),
                 qPrintable(refusalOf(loaded)));
    }

    // What provision refuses before any port is opened, a job refuses in the
    // same words; an accepted job gives its run's settings and start record.
    void prepared_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("refusal"); // empty: accepted
        QTest::newRow("accepted") << ""
                                  << "";
        QTest::newRow("no profile") << "profile="
                                    << "provision needs --profile FILE";
        QTest::newRow("profile missing") << "profile=/nonexistent.json"
                                         << "cannot read the profile /nonexistent.json";
        QTest::newRow("no addresses") << "addresses="
                                      << "provision needs --addresses FROM-TO";
        QTest::newRow("two address sources") << "keep=1"
                                             << "give one of --addresses, --local-address-from and";
        QTest::newRow("count past the range") << "count=70000"
                                              << "70000 units do not fit";
        QTest::newRow("target past the range") << "target=70000"
                                               << "a target of 70000 passed units does not fit";
        QTest::newRow("ledger URL") << "ledger=postgresql://"
                                    << "--ledger: ";
        QTest::newRow("port 0") << "ports=0"
                                << "port 0 from --port is no port number";
        QTest::newRow("baud") << "baud=fast"
                              << "the baud rate \"fast\" from --baud cannot be used";
        // Names given as options or in the job dialog, not read from a file.
        QTest::newRow("a line break in the order") << "order=PO\n1"
                                                   << "--order holds a control character (U+000A)";
        QTest::newRow("a station not UTF-8") << "station=\xff"
                                             << "--station is not valid UTF-8";
        QTest::newRow("a bell in the operator") << "operator=ana\a"
                                                << "--operator holds a control character (U+0007)";
    }
    void prepared()
    {
        QFETCH(QString, change);
        QFETCH(QString, refusal);
        Job job = fullJob(m_dir.path());
        job.ledger = m_dir.filePath("ledger.sqlite");
        job.band.clear();
        job.baud.clear();
        const QString key = change.section(u'=', 0, 0);
        const QString value = change.section(u'=', 1);
        if (key == "profile")
            job.profile = value;
        else if (key == "addresses")
            job.addresses.reset();
        else if (key == "keep")
            job.keepProfileAddress = true;
        else if (key == "count")
            job.count = value.toInt();
        else if (key == "target")
            job.target = value.toInt();
        else if (key == "ledger")
            job.ledger = value;
        else if (key == "ports")
            job.ports = {value};
        else if (key == "baud")
            job.baud = value;
        else if (key == "order")
            job.order = value;
        else if (key == "station")
            job.station = value;
        else if (key == "operator")
            job.operatorName = value;
        const PreparedJob prepared = prepareJob(job, "korva-station 1.0");
        QVERIFY2(refusal.isEmpty() ? prepared.refusal.isEmpty()
                                   : prepared.refusal.startsWith(refusal),
                 qPrintable(prepared.refusal));
        if (!refusal.isEmpty())
            return;
        const ProvisionSettings &settings = prepared.settings;
        QCOMPARE(settings.ports.size(), 2);
        QVERIFY(!settings.ports.at(0).byNumber && settings.ports.at(1).byNumber);
        QCOMPARE(settings.range->text(), QString("00010000-0001FFFF"));
        QCOMPARE(settings.target, 500);
        QCOMPARE(settings.ledger.path, job.ledger);
        const QJsonObject start = settings.start.toJson(7);
        QCOMPARE(start.value("order").toString(), QString("PO-4711 lot 3"));
        QCOMPARE(start.value("station").toString(), QString("bench 2"));
        QCOMPARE(start.value("tool-version").toString(), QString("korva-station 1.0"));
        QCOMPARE(start.value("profile").toString(), QString("unit.json"));
        QCOMPARE(start.value("profile-sha256").toString().size(), 64);
        QCOMPARE(settings.profileOver({}).txPower, QString("-21 dBm"));
    }

    // Options given beside a job replace its fields; the ports and where the
    // addresses come from are replaced as a whole.
    void overlay()
    {
        Job job = fullJob(m_dir.path());
        Job given;
        given.ports = {"/dev/ttyUSB9"};
        given.keepProfileAddress = true;
        given.target = 3;
        job.overlay(given);
        QCOMPARE(job.ports, given.ports);
        QVERIFY(!job.addresses && job.keepProfileAddress);
        QCOMPARE(job.target, 3);
        QCOMPARE(job.count, 600);
        QCOMPARE(job.station, QString("bench 2"));
    }

    // A target of passed units: no unit is claimed while those under way
    // could reach it, and a failed unit claims the next.
    void budgetTarget()
    {
        UnitBudget budget(0, 2);
        QCOMPARE(budget.claim(), UnitBudget::Claim::Granted);
        QCOMPARE(budget.claim(), UnitBudget::Claim::Granted);
        QCOMPARE(budget.claim(), UnitBudget::Claim::Wait);
        budget.settle(true, false);
        QCOMPARE(budget.claim(), UnitBudget::Claim::Granted);
        budget.settle(true, true);
        budget.settle(true, true);
        QVERIFY(budget.spent());
        QCOMPARE(budget.claim(), UnitBudget::Claim::Spent);
        QCOMPARE(budget.written(), 3);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestJob)
#include "tst_job.moc"
