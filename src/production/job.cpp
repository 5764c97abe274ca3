#include "production/job.h"

#include "module/moduleengine.h"
#include "production/portchoice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSysInfo>

#include <limits>

#include <pwd.h>
#include <unistd.h>

namespace korva::production
{

namespace
{

// Written into every job file, so that a later format is recognised.
const QString kFormatKey = QStringLiteral("korva-job");
constexpr int kFormat = 1;

QString loginName()
{
    if (const passwd *user = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return qEnvironmentVariable("USER");
}

bool isUrl(const QString &ledger)
{
    return ledger.startsWith(QLatin1String("postgresql://")) ||
           ledger.startsWith(QLatin1String("postgres://"));
}

// A file named in a job file, taken from the file's folder.
QString fromFolder(const QDir &folder, const QString &path)
{
    if (path.isEmpty() || QFileInfo(path).isAbsolute())
        return path;
    return QDir::cleanPath(folder.absoluteFilePath(path));
}

// A port of a job file: a path from the file's folder; a port number or a bare
// device name ("ttyUSB0") as it stands.
QString portFromFolder(const QDir &folder, const QString &port)
{
    return port.contains(u'/') ? fromFolder(folder, port) : port;
}

// The names a run records, by their keys: shown in tables and on screens, so
// none may hold a control character.
QList<std::pair<QString, QString>> namesOf(const Job &job)
{
    return {{QStringLiteral("station"), job.station},
            {QStringLiteral("operator"), job.operatorName},
            {QStringLiteral("order"), job.order}};
}

// Reads one job file's keys into a job, each checked for its kind.
class JobReader
{
public:
    explicit JobReader(const QJsonObject &object) : m_object(object) {}

    QString read(Job &job)
    {
        static const QStringList known{kFormatKey,
                                       QStringLiteral("profile"),
                                       QStringLiteral("addresses"),
                                       QStringLiteral("local-address-from"),
                                       QStringLiteral("keep-profile-address"),
                                       QStringLiteral("ledger"),
                                       QStringLiteral("ports"),
                                       QStringLiteral("baud"),
                                       QStringLiteral("band"),
                                       QStringLiteral("station"),
                                       QStringLiteral("operator"),
                                       QStringLiteral("order"),
                                       QStringLiteral("count"),
                                       QStringLiteral("target"),
                                       QStringLiteral("reprovision")};
        for (const QString &key : m_object.keys()) {
            if (!known.contains(key))
                return QStringLiteral("unknown key \"%1\" (keys: %2)")
                    .arg(key, known.join(QStringLiteral(", ")));
        }
        if (m_object.contains(kFormatKey) && m_object.value(kFormatKey) != kFormat)
            return QStringLiteral("\"%1\" is %2: this program reads job files of format %3")
                .arg(kFormatKey, m_object.value(kFormatKey).toVariant().toString())
                .arg(kFormat);
        text(QStringLiteral("profile"), job.profile);
        QString range;
        text(QStringLiteral("addresses"), range);
        if (!range.isEmpty() && m_error.isEmpty()) {
            job.addresses = parseAddressRange(range);
            if (!job.addresses)
                m_error = QStringLiteral("\"addresses\" needs FROM-TO, 8 hex digits each, FROM "
                                         "not above TO");
        }
        text(QStringLiteral("local-address-from"), job.localAddressFrom);
        flag(QStringLiteral("keep-profile-address"), job.keepProfileAddress);
        text(QStringLiteral("ledger"), job.ledger);
        texts(QStringLiteral("ports"), job.ports);
        text(QStringLiteral("baud"), job.baud);
        text(QStringLiteral("band"), job.band);
        text(QStringLiteral("station"), job.station);
        text(QStringLiteral("operator"), job.operatorName);
        text(QStringLiteral("order"), job.order);
        for (const auto &[key, name] : namesOf(job))
            if (const QString refused = nameRefusal(name); m_error.isEmpty() && !refused.isEmpty())
                m_error = QStringLiteral("\"%1\" %2").arg(key, refused);
        number(QStringLiteral("count"), job.count);
        number(QStringLiteral("target"), job.target);
        flag(QStringLiteral("reprovision"), job.reprovision);
        return m_error;
    }

private:
    bool present(const QString &key) const { return m_error.isEmpty() && m_object.contains(key); }
    void text(const QString &key, QString &into)
    {
        if (!present(key))
            return;
        const QJsonValue value = m_object.value(key);
        if (!value.isString() || value.toString().trimmed().isEmpty())
            m_error = QStringLiteral("\"%1\" must be a text that is not empty").arg(key);
        else
            into = value.toString();
    }
    void texts(const QString &key, QStringList &into)
    {
        if (!present(key))
            return;
        const QJsonValue value = m_object.value(key);
        QStringList list;
        for (const QJsonValue &each : value.toArray()) {
            if (!each.isString() || each.toString().trimmed().isEmpty())
                break;
            list << each.toString();
        }
        if (!value.isArray() || list.size() != value.toArray().size())
            m_error = QStringLiteral("\"%1\" must be a list of texts that are not empty").arg(key);
        else if (list.removeDuplicates() > 0)
            m_error = QStringLiteral("\"%1\" holds a port twice").arg(key);
        else
            into = list;
    }
    void number(const QString &key, int &into)
    {
        if (!present(key))
            return;
        const QJsonValue value = m_object.value(key);
        const double given = value.toDouble(-1);
        if (!value.isDouble() || given < 1 || given > std::numeric_limits<int>::max() ||
            given != double(qint64(given)))
            m_error = QStringLiteral("\"%1\" must be a whole number, 1 or more").arg(key);
        else
            into = int(given);
    }
    void flag(const QString &key, bool &into)
    {
        if (!present(key))
            return;
        if (!m_object.value(key).isBool())
            m_error = QStringLiteral("\"%1\" must be true or false").arg(key);
        else
            into = m_object.value(key).toBool();
    }

    const QJsonObject &m_object;
    QString m_error;
};

// The band as --band takes it, in its canonical spelling.
std::optional<QString> bandOf(const QString &text)
{
    for (const char *band : {"433Mhz", "868Mhz"}) {
        if (text.trimmed().compare(QLatin1String(band), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(band);
    }
    return std::nullopt;
}

// Where the units' addresses come from: a range of the ledger, or the profile.
QString chooseRange(const Job &job, ProvisionSettings &settings)
{
    const int ways = int(job.addresses.has_value()) + int(!job.localAddressFrom.isEmpty()) +
                     int(job.keepProfileAddress);
    if (ways != 1)
        return ways == 0 ? QStringLiteral("provision needs --addresses FROM-TO or "
                                          "--local-address-from HEX8, or "
                                          "--keep-profile-address to give every unit the "
                                          "profile's address")
                         : QStringLiteral("give one of --addresses, --local-address-from and "
                                          "--keep-profile-address");
    settings.range = job.addresses;
    if (!job.localAddressFrom.isEmpty()) {
        Changes first;
        const QString refused =
            addChange(first, QStringLiteral("local-address"), job.localAddressFrom);
        if (!refused.isEmpty())
            return QStringLiteral("--local-address-from: ") + refused;
        settings.range =
            AddressRange{first.fields[Field::LocalAddress].toUInt(nullptr, 16), 0xFFFFFFFF};
    }
    if (!settings.range)
        return {};
    const quint64 size = quint64(settings.range->last) - settings.range->first + 1;
    if (job.count > 0 && quint64(job.count) > size)
        return QStringLiteral("%1 units do not fit the addresses %2")
            .arg(job.count)
            .arg(settings.range->text());
    if (job.target > 0 && quint64(job.target) > size)
        return QStringLiteral("a target of %1 passed units does not fit the addresses %2")
            .arg(job.target)
            .arg(settings.range->text());
    return {};
}

// Each port is checked and made absolute as for korva-cli's other verbs; the
// engine here only checks the line rate, which every slot's own engine takes.
QString choosePorts(const Job &job, ProvisionSettings &settings)
{
    const QStringList given = job.ports.isEmpty() ? QStringList{QString()} : job.ports;
    ModuleEngine probe;
    for (const QString &port : given) {
        const auto chosen = choosePort(port, job.baud, probe);
        if (const auto *refusal = std::get_if<QString>(&chosen))
            return *refusal;
        const PortChoice &choice = std::get<PortChoice>(chosen);
        settings.ports << SlotPort{choice.port, choice.byNumber};
        settings.baud = QString::number(choice.baud);
    }
    return {};
}

// The run's start record: who runs what, where, with which profile.
void describeRun(const Job &job, const QByteArray &profile, const QString &toolVersion,
                 ProvisionSettings &settings)
{
    RunStart &start = settings.start;
    start.host = QSysInfo::machineHostName();
    start.station = job.station.isEmpty() ? start.host : job.station;
    start.operatorName = job.operatorName.isEmpty() ? loginName() : job.operatorName;
    start.order = job.order;
    start.toolVersion = toolVersion;
    start.profileName = job.profile == QLatin1String("-") ? QStringLiteral("(standard input)")
                                                          : QFileInfo(job.profile).fileName();
    start.profileSha256 =
        QString::fromLatin1(QCryptographicHash::hash(profile, QCryptographicHash::Sha256).toHex());
    start.range = settings.range ? settings.range->text() : QStringLiteral("the profile's");
    QStringList ports;
    for (const SlotPort &port : std::as_const(settings.ports))
        ports << port.port;
    start.ports = ports.join(QStringLiteral(", "));
    start.baud = settings.baud.toInt();
    start.band = settings.band;
}

} // namespace

void Job::overlay(const Job &given)
{
    const auto take = [](QString &field, const QString &value) {
        if (!value.isEmpty())
            field = value;
    };
    take(profile, given.profile);
    if (given.addresses || !given.localAddressFrom.isEmpty() || given.keepProfileAddress) {
        addresses = given.addresses;
        localAddressFrom = given.localAddressFrom;
        keepProfileAddress = given.keepProfileAddress;
    }
    take(ledger, given.ledger);
    if (!given.ports.isEmpty())
        ports = given.ports;
    take(baud, given.baud);
    take(band, given.band);
    take(station, given.station);
    take(operatorName, given.operatorName);
    take(order, given.order);
    if (given.count > 0)
        count = given.count;
    if (given.target > 0)
        target = given.target;
    reprovision = reprovision || given.reprovision;
}

std::variant<Job, QString> loadJob(const QString &path)
{
    const auto refuse = [&path](const QString &why) {
        return QStringLiteral("job %1: %2").arg(path, why);
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    const QByteArray bytes = file.read(kMaxProfileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return refuse(file.errorString());
    if (bytes.size() > kMaxProfileBytes)
        return refuse(QStringLiteral("it is longer than %1 KiB").arg(kMaxProfileBytes / 1024));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("not valid JSON: %1").arg(parseError.errorString()));
    if (!document.isObject())
        return refuse(QStringLiteral("a job is one JSON object"));
    if (const QString twice = duplicatedKey(bytes); !twice.isEmpty())
        return refuse(twice);
    Job job;
    if (const QString error = JobReader(document.object()).read(job); !error.isEmpty())
        return refuse(error);
    if (!job.band.isEmpty()) {
        const auto band = bandOf(job.band);
        if (!band)
            return refuse(
                QStringLiteral("\"band\" must be 433Mhz or 868Mhz, not \"%1\"").arg(job.band));
        job.band = *band;
    }
    const QDir folder = QFileInfo(path).absoluteDir();
    job.profile = fromFolder(folder, job.profile);
    if (!isUrl(job.ledger))
        job.ledger = fromFolder(folder, job.ledger);
    for (QString &port : job.ports)
        port = portFromFolder(folder, port);
    return job;
}

QByteArray jobJson(const Job &job)
{
    QJsonObject object{{kFormatKey, kFormat}};
    const auto text = [&object](const char *key, const QString &value) {
        if (!value.isEmpty())
            object.insert(QLatin1String(key), value);
    };
    text("profile", job.profile);
    if (job.addresses)
        object.insert(QLatin1String("addresses"), job.addresses->text());
    text("local-address-from", job.localAddressFrom);
    if (job.keepProfileAddress)
        object.insert(QLatin1String("keep-profile-address"), true);
    text("ledger", job.ledger);
    if (!job.ports.isEmpty())
        object.insert(QLatin1String("ports"), QJsonArray::fromStringList(job.ports));
    text("baud", job.baud);
    text("band", job.band);
    text("station", job.station);
    text("operator", job.operatorName);
    text("order", job.order);
    if (job.count > 0)
        object.insert(QLatin1String("count"), job.count);
    if (job.target > 0)
        object.insert(QLatin1String("target"), job.target);
    if (job.reprovision)
        object.insert(QLatin1String("reprovision"), true);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QString saveJob(const Job &job, const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write the job %1: %2").arg(path, file.errorString());
    file.write(jobJson(job));
    if (!file.commit())
        return QStringLiteral("cannot write the job %1: %2").arg(path, file.errorString());
    return {};
}

PreparedJob prepareJob(const Job &job, const QString &toolVersion)
{
    PreparedJob prepared;
    if (job.profile.isEmpty()) {
        prepared.refusal = QStringLiteral("provision needs --profile FILE (and no --set)");
        return prepared;
    }
    // Names from the command line or a job dialog are checked here as a job
    // file's are when it is read.
    for (const auto &[key, name] : namesOf(job)) {
        if (const QString refused = nameRefusal(name); !refused.isEmpty()) {
            prepared.refusal = QStringLiteral("--%1 %2").arg(key, refused);
            return prepared;
        }
    }
    ProvisionSettings &settings = prepared.settings;
    std::optional<LedgerLocation> ledger;
    if (!job.ledger.isEmpty()) {
        auto parsed = parseLedgerSpec(job.ledger);
        if (const auto *refusal = std::get_if<QString>(&parsed)) {
            prepared.refusal = QStringLiteral("--ledger: ") + *refusal;
            return prepared;
        }
        ledger = std::get<LedgerLocation>(parsed);
    }
    if (!job.band.isEmpty() && !bandOf(job.band)) {
        prepared.refusal =
            QStringLiteral("--band must be 433Mhz or 868Mhz, not \"%1\"").arg(job.band);
        return prepared;
    }
    ValueRequest request{
        job.profile, {}, bandOf(job.band).value_or(QStringLiteral("433Mhz")), !job.band.isEmpty()};
    prepared.values = gatherValues(request);
    if (!prepared.values.error.isEmpty()) {
        prepared.refusal = prepared.values.error + QStringLiteral(" (nothing was written)");
        return prepared;
    }
    prepared.notes = prepared.values.notes;
    settings.band = prepared.values.band;
    settings.profileOver = [changes = prepared.values.changes](const ConfigTexts &held) {
        ConfigTexts texts = held;
        applyChanges(texts, changes);
        return texts;
    };
    prepared.refusal = chooseRange(job, settings);
    if (!prepared.refusal.isEmpty())
        return prepared;
    settings.reprovision = job.reprovision;
    settings.count = job.count;
    settings.target = job.target;
    settings.ledger = ledger.value_or(LedgerLocation{});
    if (!ledger)
        settings.ledger.path = defaultLedgerPath();
    prepared.refusal = choosePorts(job, settings);
    if (!prepared.refusal.isEmpty())
        return prepared;
    describeRun(job, prepared.values.profile, toolVersion, settings);
    return prepared;
}

} // namespace korva::production
