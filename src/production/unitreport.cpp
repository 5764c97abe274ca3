#include "production/unitreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace korva::production
{

namespace
{

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// Local time with its offset from UTC, so lines from two sites compare.
QString timeText(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

} // namespace

QByteArray UnitReport::jsonLine() const
{
    QJsonArray differing;
    for (const FieldDifferenceText &difference : differences)
        differing.append(QJsonObject{{QStringLiteral("key"), difference.key},
                                     {QStringLiteral("expected"), difference.expected},
                                     {QStringLiteral("actual"), difference.actual}});
    QJsonObject line{
        {QStringLiteral("time"), timeText(ended)},
        {QStringLiteral("started"), timeText(started)},
        {QStringLiteral("unit"), sequence},
        {QStringLiteral("slot"), slot},
        {QStringLiteral("device"), device},
        {QStringLiteral("before"), hexText(before)},
        {QStringLiteral("packet"), hexText(packet)},
        {QStringLiteral("packet-left"), packetLeft},
        {QStringLiteral("after"), hexText(readBack)},
        {QStringLiteral("local-address"), localAddress},
        {QStringLiteral("writes"), writes},
        {QStringLiteral("result"), passed() ? QStringLiteral("ok") : QStringLiteral("failed")},
        {QStringLiteral("differences"), differing}};
    if (!errorClass.isEmpty()) {
        line.insert(QStringLiteral("error-class"), errorClass);
        line.insert(QStringLiteral("error"), error);
    }
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace korva::production
