#include "cli/profile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace korva::cli
{

namespace
{

int lineAt(const QByteArray &text, qsizetype offset)
{
    return int(text.left(offset).count('\n')) + 1;
}

// The line of the first `"key":` at or after `from`; QJsonDocument keeps no positions.
int lineOfKey(const QByteArray &text, const QString &key, qsizetype from = 0)
{
    const QRegularExpression pattern(QLatin1Char('"') + QRegularExpression::escape(key) +
                                     QStringLiteral("\"\\s*:"));
    const QString whole = QString::fromUtf8(text);
    const QRegularExpressionMatch match =
        pattern.match(whole, QString::fromUtf8(text.left(from)).size());
    return match.hasMatch() ? int(whole.left(match.capturedStart()).count(u'\n')) + 1 : 0;
}

// A value as text: strings as they are, numbers (a frequency, a packet size) in
// their shortest exact form.
std::optional<QString> valueText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    return std::nullopt;
}

void readFields(const QJsonObject &object, const QByteArray &text, qsizetype from,
                ProfileResult &result)
{
    for (auto it = object.begin(); it != object.end() && result.error.isEmpty(); ++it) {
        const auto value = valueText(it.value());
        result.error = value ? addChange(result.changes, it.key(), *value)
                             : QStringLiteral("%1: the value must be a text").arg(it.key());
        if (!result.error.isEmpty())
            result.line = lineOfKey(text, it.key(), from);
    }
}

} // namespace

ProfileResult parseProfile(const QByteArray &json)
{
    ProfileResult result;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        result.line = lineAt(json, parseError.offset);
        result.error = QStringLiteral("not valid JSON: %1").arg(parseError.errorString());
        return result;
    }
    if (!document.isObject()) {
        result.line = 1;
        result.error = QStringLiteral("a profile is one JSON object");
        return result;
    }
    const QJsonObject top = document.object();
    if (!top.contains(QStringLiteral("fields"))) {
        readFields(top, json, 0, result);
        return result;
    }
    static const QStringList beside = {QStringLiteral("port"), QStringLiteral("baud"),
                                       QStringLiteral("band"), QStringLiteral("block"),
                                       QStringLiteral("fields")};
    for (const QString &key : top.keys()) {
        if (!beside.contains(key)) {
            result.line = lineOfKey(json, key);
            result.error = QStringLiteral("unknown key \"%1\" beside \"fields\"").arg(key);
            return result;
        }
    }
    const QJsonValue fields = top.value(QStringLiteral("fields"));
    const qsizetype fieldsAt = json.indexOf("\"fields\"");
    if (!fields.isObject()) {
        result.line = lineAt(json, fieldsAt);
        result.error = QStringLiteral("\"fields\" must be an object");
        return result;
    }
    readFields(fields.toObject(), json, fieldsAt, result);
    return result;
}

QString readProfileFile(const QString &path, Changes &changes, QByteArray *contents)
{
    QFile file(path);
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : file.open(QIODevice::ReadOnly);
    if (!opened)
        return QStringLiteral("cannot read the profile %1: %2").arg(path, file.errorString());
    const QByteArray json = file.readAll();
    if (contents)
        *contents = json;
    const ProfileResult profile = parseProfile(json);
    if (!profile.error.isEmpty())
        return QStringLiteral("%1:%2: %3").arg(path).arg(profile.line).arg(profile.error);
    changes = profile.changes;
    return {};
}

} // namespace korva::cli
