#include "production/unitrecord.h"

#include "production/ledgerlocation.h"

#include <QJsonArray>

namespace korva::production
{

namespace
{

const QString kStateNames[kAddressStates] = {QStringLiteral("reserved"), QStringLiteral("sent"),
                                             QStringLiteral("passed"), QStringLiteral("failed"),
                                             QStringLiteral("released")};

QJsonValue addressValue(const std::optional<quint32> &address)
{
    return address ? QJsonValue(addressText(*address)) : QJsonValue(QJsonValue::Null);
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

} // namespace

QString stateName(AddressState state)
{
    return kStateNames[int(state)];
}

std::optional<AddressState> stateFromName(const QString &name)
{
    for (int state = 0; state < kAddressStates; ++state)
        if (kStateNames[state] == name)
            return AddressState(state);
    return std::nullopt;
}

QString timeText(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QDateTime currentTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc());
}

QJsonObject RunStart::toJson(qint64 runId) const
{
    return {{QStringLiteral("type"), QStringLiteral("run-start")},
            {QStringLiteral("run"), runId},
            {QStringLiteral("time"), timeText(started)},
            {QStringLiteral("station"), station},
            {QStringLiteral("host"), host},
            {QStringLiteral("operator"), operatorName},
            {QStringLiteral("tool-version"), toolVersion},
            {QStringLiteral("profile"), profileName},
            {QStringLiteral("profile-sha256"), profileSha256},
            {QStringLiteral("range"), range},
            {QStringLiteral("ports"), ports},
            {QStringLiteral("baud"), baud},
            {QStringLiteral("band"), band},
            {QStringLiteral("order"), order}};
}

QJsonObject RunEnd::toJson(qint64 runId) const
{
    return {{QStringLiteral("type"), QStringLiteral("run-end")},
            {QStringLiteral("run"), runId},
            {QStringLiteral("time"), timeText(ended)},
            {QStringLiteral("how"), how},
            {QStringLiteral("written"), written},
            {QStringLiteral("passed"), passed},
            {QStringLiteral("failed"), failed},
            {QStringLiteral("already-provisioned"), alreadyProvisioned},
            {QStringLiteral("next-free"), addressValue(nextFree)}};
}

void UnitRecord::takeRun(const RunStart &run)
{
    station = run.station;
    operatorName = run.operatorName;
    profileName = run.profileName;
    profileSha256 = run.profileSha256;
    toolVersion = run.toolVersion;
    order = run.order;
}

QString nameRefusal(const QString &name)
{
    for (const QChar c : name) {
        if (c == QChar::ReplacementCharacter)
            return QStringLiteral("is not valid UTF-8");
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            return QStringLiteral("holds a control character (U+%1)")
                .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0'));
    }
    return {};
}

QJsonObject UnitRecord::toJson() const
{
    QJsonArray differing;
    for (const FieldDifference &difference : differences)
        differing.append(QJsonObject{{QStringLiteral("key"), difference.key},
                                     {QStringLiteral("expected"), difference.expected},
                                     {QStringLiteral("actual"), difference.actual}});
    return {{QStringLiteral("type"), QStringLiteral("unit")},
            {QStringLiteral("run"), runId},
            {QStringLiteral("sequence"), sequence},
            {QStringLiteral("slot"), slot},
            {QStringLiteral("started"), timeText(started)},
            {QStringLiteral("ended"), timeText(ended)},
            {QStringLiteral("duration-ms"), started.msecsTo(ended)},
            {QStringLiteral("device"), device},
            {QStringLiteral("adapter-serial"), adapterSerial},
            {QStringLiteral("adapter-location"), adapterLocation},
            {QStringLiteral("before"), hexText(before)},
            {QStringLiteral("packet"), hexText(packet)},
            {QStringLiteral("read-back"), hexText(readBack)},
            {QStringLiteral("packet-left"), packetLeft},
            {QStringLiteral("address"), addressValue(address)},
            {QStringLiteral("address-state"),
             addressState ? QJsonValue(stateName(*addressState)) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("reprovision"), reprovision},
            {QStringLiteral("result"), result},
            {QStringLiteral("differences"), differing},
            {QStringLiteral("error-class"), errorClass},
            {QStringLiteral("error"), error},
            {QStringLiteral("writes"), writes},
            {QStringLiteral("station"), station},
            {QStringLiteral("operator"), operatorName},
            {QStringLiteral("profile"), profileName},
            {QStringLiteral("profile-sha256"), profileSha256},
            {QStringLiteral("tool-version"), toolVersion},
            {QStringLiteral("order"), order}};
}

} // namespace korva::production
