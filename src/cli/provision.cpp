#include "cli/provision.h"

#include "cli/fieldvalues.h"
#include "cli/portchoice.h"
#include "cli/profile.h"
#include "cli/stopsignals.h"
#include "module/moduleengine.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace korva::cli
{

namespace
{

// A module is asked for its configuration (and, once programmed, looked after)
// about once a second; an absent device is looked for more often, as that costs
// nothing on the wire.
constexpr int kPollPeriodMs = 1000;
constexpr int kReopenPeriodMs = 250;
// A present module begins its answer within the request's 0.1 s; this is
// enough for all fifteen bytes at 1200 baud and the 100 ms that end a burst.
constexpr int kPollAnswerMs = 300;
// Quiet time between the read that found a module and the Set after it, as
// long as Set leaves between its "---" and its read-back.
constexpr int kBetweenOperationsMs = 500;
constexpr int kWritesPerUnit = 2;
constexpr quint64 kLastAddress = 0xFFFFFFFF;

void print(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void complain(const QString &text)
{
    print(stderr, (QStringLiteral("korva-cli: ") + text + u'\n').toUtf8());
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// What became of one unit.
struct Unit {
    int number = 0;
    QString device;
    QByteArray before;
    QByteArray after;
    QString localAddress;
    int writes = 0;
    QStringList differing; // keys of the fields the module does not hold as written
    QString error;         // why the unit could not be verified at all

    bool ok() const { return error.isEmpty() && differing.isEmpty(); }

    QByteArray jsonLine() const
    {
        // Local time with its offset from UTC, so lines from two sites compare.
        const QDateTime now = QDateTime::currentDateTime();
        QJsonObject line{
            {QStringLiteral("time"),
             now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs)},
            {QStringLiteral("unit"), number},
            {QStringLiteral("device"), device},
            {QStringLiteral("before"), hexText(before)},
            {QStringLiteral("after"), hexText(after)},
            {QStringLiteral("local-address"), localAddress},
            {QStringLiteral("writes"), writes},
            {QStringLiteral("result"), ok() ? QStringLiteral("ok") : QStringLiteral("failed")},
            {QStringLiteral("differences"), QJsonArray::fromStringList(differing)}};
        if (!error.isEmpty())
            line.insert(QStringLiteral("error"), error);
        return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    }
};

class Provisioner
{
public:
    explicit Provisioner(const CliOptions &options) : m_options(options) {}
    int execute();

private:
    int prepare();
    int openFirst();
    std::optional<PortFailure> openOnce();
    bool waitForModule(ReadResult &found);
    bool waitUntilGone();
    Unit programUnit(int number, const ReadResult &before);
    void record(const Unit &unit);
    void idle(qint64 ms);
    void note(const QString &text) const;

    const CliOptions &m_options;
    ModuleEngine m_engine;
    Changes m_changes;
    QString m_band;
    std::optional<quint64> m_firstAddress;
    QFile m_log;
    QString m_port;
    bool m_byNumber = false;
    bool m_stopping = false;
    QEventLoop *m_idleLoop = nullptr;
};

void Provisioner::note(const QString &text) const
{
    if (!m_options.quiet)
        complain(text);
}

// Everything that can be refused is refused here, before the port is opened.
int Provisioner::prepare()
{
    const QString error = readProfileFile(m_options.profile, m_changes);
    if (!error.isEmpty()) {
        complain(error);
        return kExitUsage;
    }
    m_band = m_changes.band.isEmpty() ? m_options.band : m_changes.band;
    if (!m_options.localAddressFrom.isEmpty()) {
        Changes first;
        const QString refused =
            addChange(first, QStringLiteral("local-address"), m_options.localAddressFrom);
        if (!refused.isEmpty()) {
            complain(QStringLiteral("--local-address-from: ") + refused);
            return kExitUsage;
        }
        m_firstAddress = first.fields[Field::LocalAddress].toULongLong(nullptr, 16);
        if (m_options.count > 0 && *m_firstAddress + quint64(m_options.count) - 1 > kLastAddress) {
            complain(QStringLiteral("%1 units from local address %2 would pass FFFFFFFF")
                         .arg(m_options.count)
                         .arg(first.fields[Field::LocalAddress]));
            return kExitUsage;
        }
    }
    const QString refused = checkChanges(m_changes, m_band);
    if (!refused.isEmpty()) {
        complain(refused + QStringLiteral(" (nothing was written)"));
        return kExitUsage;
    }
    if (!m_options.logFile.isEmpty()) {
        m_log.setFileName(m_options.logFile);
        if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append)) {
            complain(QStringLiteral("cannot open the log %1: %2")
                         .arg(m_options.logFile, m_log.errorString()));
            return kExitUsage;
        }
    }
    return kExitDone;
}

std::optional<PortFailure> Provisioner::openOnce()
{
    // A device that is not there (an adapter unplugged) is waited for, not opened.
    if (!m_byNumber &&
        !QFileInfo::exists(m_port.contains(u'/') ? m_port : QStringLiteral("/dev/") + m_port))
        return PortFailure{PortFailure::Kind::InvalidPort, m_port};
    return m_byNumber ? m_engine.openPort(m_port) : m_engine.openDevice(m_port);
}

// An absent device is waited for; one that is there but cannot be opened
// (permission, busy) ends the run, as waiting would not mend it.
int Provisioner::openFirst()
{
    const auto chosen = choosePort(m_options, m_engine);
    if (const auto *refusal = std::get_if<QString>(&chosen)) {
        complain(*refusal);
        return kExitUsage;
    }
    m_port = std::get<PortChoice>(chosen).port;
    m_byNumber = std::get<PortChoice>(chosen).byNumber;
    const auto failure = openOnce();
    if (failure && failure->kind != PortFailure::Kind::InvalidPort) {
        complain(QStringLiteral("Error: ") + failure->description);
        return kExitNoPort;
    }
    return kExitDone;
}

void Provisioner::idle(qint64 ms)
{
    if (m_stopping || ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(int(ms), &loop, &QEventLoop::quit);
    m_idleLoop = &loop;
    loop.exec();
    m_idleLoop = nullptr;
}

bool Provisioner::waitForModule(ReadResult &found)
{
    note(QStringLiteral("Waiting for a module on %1...")
             .arg(m_byNumber ? QStringLiteral("port ") + m_port : m_port));
    while (!m_stopping) {
        QElapsedTimer poll;
        poll.start();
        if (!m_engine.port().portOpen() && openOnce()) {
            idle(kReopenPeriodMs);
            continue;
        }
        found = m_engine.readConfiguration(kPollAnswerMs);
        if (found.outcome == ReadResult::Outcome::Answered && found.block.size() == kBlockSize)
            return true;
        idle(kPollPeriodMs - poll.elapsed());
    }
    return false;
}

// A module that stops answering, or whose device goes away, has been removed.
bool Provisioner::waitUntilGone()
{
    while (!m_stopping) {
        idle(kPollPeriodMs);
        if (m_stopping)
            break;
        if (!m_engine.port().portOpen())
            return true;
        const ReadResult answer = m_engine.readConfiguration(kPollAnswerMs);
        if (answer.outcome != ReadResult::Outcome::Answered || !m_engine.port().portOpen())
            return true;
    }
    return false;
}

// The unit is programmed to the end once begun: a stop waits for it.
Unit Provisioner::programUnit(int number, const ReadResult &before)
{
    Unit unit;
    unit.number = number;
    unit.device = m_engine.port().devicePath();
    unit.before = before.block;
    Changes changes = m_changes;
    if (m_firstAddress)
        changes.fields[Field::LocalAddress] =
            QStringLiteral("%1")
                .arg(qulonglong(*m_firstAddress + quint64(number) - 1), 8, 16, QLatin1Char('0'))
                .toUpper();
    ConfigTexts texts = before.texts;
    applyChanges(texts, changes);
    unit.localAddress = fieldText(texts, Field::LocalAddress);
    m_engine.setTextsSource([texts] { return texts; });

    while (unit.writes < kWritesPerUnit) {
        Pause gap;
        gap.wait(kBetweenOperationsMs);
        const WriteResult written = m_engine.writeConfiguration(m_options.timeoutMs);
        ++unit.writes;
        unit.error.clear();
        unit.differing.clear();
        if (written.refused) {
            unit.error = written.refused->text;
            break;
        }
        if (m_engine.portLost() || !m_engine.port().portOpen()) {
            unit.error = QStringLiteral("the device failed during the operation");
            break;
        }
        unit.after = written.readBack.block;
        if (!written.mismatches) {
            unit.error = QStringLiteral("No Response from Modem. Check Comms Port & Baud rate");
            continue;
        }
        for (const FieldMismatch &mismatch : *written.mismatches) {
            const QString key = fieldKey(fieldOfPageField(mismatch.field));
            if (!unit.differing.contains(key))
                unit.differing << key;
        }
        if (unit.differing.isEmpty())
            break;
    }
    return unit;
}

// Each finished unit reaches the disk before the next begins, so a crash or a
// power cut loses none.
void Provisioner::record(const Unit &unit)
{
    const QByteArray line = unit.jsonLine();
    print(stdout, line);
    if (m_log.isOpen()) {
        m_log.write(line);
        m_log.flush();
        ::fsync(m_log.handle());
    }
}

int Provisioner::execute()
{
    if (const int code = prepare())
        return code;
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &m_engine, [this] {
        m_stopping = true;
        if (m_idleLoop)
            m_idleLoop->quit();
    });
    // A unit pulled out with its adapter is noticed at once, not at the next poll.
    QObject::connect(&m_engine, &ModuleEngine::portFailed, &m_engine, [this] {
        if (m_idleLoop)
            m_idleLoop->quit();
    });
    m_engine.setBandSource([this] { return m_band; });
    if (const int code = openFirst())
        return code;

    int code = kExitDone;
    for (int number = 1; !m_stopping; ++number) {
        if (m_firstAddress && *m_firstAddress + quint64(number) - 1 > kLastAddress) {
            complain(QStringLiteral("unit %1 would get a local address past FFFFFFFF").arg(number));
            code = code == kExitDone ? kExitUsage : code;
            break;
        }
        ReadResult before;
        if (!waitForModule(before))
            break;
        const Unit unit = programUnit(number, before);
        record(unit);
        if (!unit.ok())
            code = kExitDifferent;
        if (number == m_options.count || !waitUntilGone())
            break;
    }
    if (m_engine.port().portOpen() && m_engine.inCommandMode())
        m_engine.CloseATMode();
    m_engine.closePort();
    return code;
}

} // namespace

int runProvision(const CliOptions &options)
{
    Provisioner provisioner(options);
    return provisioner.execute();
}

} // namespace korva::cli
