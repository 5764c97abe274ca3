#include "production/profile.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace korva::production
{

namespace
{

const QString kBandKey = QStringLiteral("band");
const QString kBlockKey = QStringLiteral("block");
const QString kFieldsKey = QStringLiteral("fields");
// Where read found the module: not used, as the run's own --port and --baud decide.
const QStringList kWhereKeys = {QStringLiteral("port"), QStringLiteral("baud")};
// What a verify or write report adds to read's object.
const QStringList kReportKeys = {QStringLiteral("result"), QStringLiteral("differences"),
                                 QStringLiteral("dry-run"), QStringLiteral("changes")};

int lineAt(const QByteArray &text, qsizetype offset)
{
    return int(text.left(offset).count('\n')) + 1;
}

// Where the keys of the top object and of its "fields" stand, and the first
// key that one object holds twice: QJsonDocument keeps no positions and would
// keep the last of two keys without a word. The JSON is valid already.
struct KeyLines {
    QHash<QString, int> top;
    QHash<QString, int> fields;
    QString duplicate; // empty when no object holds a key twice
    int duplicateLine = 0;
};

KeyLines scanKeys(const QByteArray &json)
{
    struct Level {
        bool object = false;
        bool keyNext = false;
        QString name; // the key it is the value of
        QHash<QString, int> keys;
    };
    KeyLines lines;
    QList<Level> levels;
    QString lastKey;
    int current = 1; // valid JSON has no line break inside a string
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '\n') {
            ++current;
        } else if (c == '{' || c == '[') {
            levels.append({c == '{', c == '{', lastKey, {}});
        } else if (c == '}' || c == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
        } else if (c == ',') {
            if (!levels.isEmpty() && levels.last().object)
                levels.last().keyNext = true;
        } else if (c == '"') {
            const qsizetype start = i;
            for (++i; i < json.size() && json.at(i) != '"'; ++i) {
                if (json.at(i) == '\\')
                    ++i;
            }
            if (levels.isEmpty() || !levels.last().keyNext)
                continue;
            Level &level = levels.last();
            level.keyNext = false;
            // The key as JSON reads it, escapes and all.
            lastKey = QJsonDocument::fromJson('[' + json.mid(start, i - start + 1) + ']')
                          .array()
                          .at(0)
                          .toString();
            if (const auto seen = level.keys.constFind(lastKey); seen != level.keys.constEnd()) {
                lines.duplicate = QStringLiteral("\"%1\" is given twice, on lines %2 and %3")
                                      .arg(lastKey)
                                      .arg(*seen)
                                      .arg(current);
                lines.duplicateLine = current;
                return lines;
            }
            level.keys.insert(lastKey, current);
            if (levels.size() == 1)
                lines.top.insert(lastKey, current);
            else if (levels.size() == 2 && level.name == kFieldsKey)
                lines.fields.insert(lastKey, current);
        }
    }
    return lines;
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

void readFields(const QJsonObject &object, const QHash<QString, int> &lines, ProfileResult &result)
{
    for (auto it = object.begin(); it != object.end() && result.error.isEmpty(); ++it) {
        const auto value = valueText(it.value());
        result.error = value ? addChange(result.changes, it.key(), *value)
                             : QStringLiteral("%1: the value must be a text").arg(it.key());
        if (!result.error.isEmpty())
            result.line = lines.value(it.key());
    }
}

// "band" and "block" beside "fields": read's record of the module, which must
// say what the fields say.
void readBeside(const QJsonObject &top, const KeyLines &lines, ProfileResult &result)
{
    if (top.contains(kBandKey)) {
        const QString band = top.value(kBandKey).toString();
        Changes beside;
        QString refused = addChange(beside, kBandKey, band);
        if (refused.isEmpty() && !result.changes.band.isEmpty() &&
            beside.band != result.changes.band)
            refused = QStringLiteral("\"band\": \"%1\" and \"fields\"' \"band\": \"%2\" disagree")
                          .arg(band, result.changes.band);
        if (!refused.isEmpty()) {
            result.error = refused;
            result.line = lines.top.value(kBandKey);
            return;
        }
        result.changes.band = beside.band;
    }
    if (top.contains(kBlockKey)) {
        static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{30}$"));
        const QString block = top.value(kBlockKey).toString();
        if (!hex.match(block).hasMatch()) {
            result.error = QStringLiteral("\"block\" must be the 15 bytes as 30 hex digits");
            result.line = lines.top.value(kBlockKey);
            return;
        }
        result.changes.block = QByteArray::fromHex(block.toLatin1());
    }
    QStringList unused;
    for (const QString &key : top.keys()) {
        if (kWhereKeys.contains(key) || kReportKeys.contains(key))
            unused << QLatin1Char('"') + key + QLatin1Char('"');
    }
    if (!unused.isEmpty())
        result.notes << QStringLiteral("%1 in the profile %2 not used: --port and --baud choose "
                                       "the device")
                            .arg(unused.join(QStringLiteral(", ")),
                                 unused.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}

// Reads at most kMaxProfileBytes and one more, to tell a profile that is too long.
QString readBounded(QFile &file, QByteArray &bytes)
{
    while (bytes.size() <= kMaxProfileBytes) {
        const QByteArray chunk = file.read(kMaxProfileBytes + 1 - bytes.size());
        if (chunk.isEmpty())
            break;
        bytes += chunk;
    }
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    if (bytes.size() > kMaxProfileBytes)
        return QStringLiteral("it is longer than %1 KiB, and a profile is well under 1 KiB")
            .arg(kMaxProfileBytes / 1024);
    return {};
}

QString mergeAssignment(RunValues &values, QMap<QString, QString> &given, const QString &assignment)
{
    Changes single;
    if (const QString error = addAssignment(single, assignment); !error.isEmpty())
        return error;
    const QString key = assignment.left(assignment.indexOf(u'=')).trimmed();
    const auto conflict = [&](bool differs) {
        return differs ? QStringLiteral("--set \"%1\" and --set \"%2\" disagree")
                             .arg(given.value(key), assignment)
                       : QString();
    };
    if (!single.band.isEmpty()) {
        if (const QString error =
                conflict(!values.changes.band.isEmpty() && values.changes.band != single.band);
            !error.isEmpty())
            return error;
        values.changes.band = single.band;
    }
    for (const auto &[field, text] : single.fields) {
        const auto held = values.changes.fields.find(field);
        if (const QString error =
                conflict(held != values.changes.fields.end() && held->second != text);
            !error.isEmpty())
            return error;
        values.changes.fields[field] = text;
    }
    given.insert(key, assignment);
    return {};
}

// Reads the profile file at `path` into the values' changes, notes and
// profile; the error text, naming the file, or an empty text.
QString readProfileFile(const QString &path, RunValues &values)
{
    QFile file(path);
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : file.open(QIODevice::ReadOnly);
    if (!opened)
        return QStringLiteral("cannot read the profile %1: %2").arg(path, file.errorString());
    QByteArray bytes;
    if (const QString error = readBounded(file, bytes); !error.isEmpty())
        return QStringLiteral("cannot read the profile %1: %2").arg(path, error);
    const ProfileResult profile = parseProfile(bytes);
    values.profile = bytes;
    if (!profile.error.isEmpty())
        return QStringLiteral("%1:%2: %3").arg(path).arg(profile.line).arg(profile.error);
    values.changes = profile.changes;
    for (const QString &note : profile.notes)
        values.notes << path + QStringLiteral(": ") + note;
    return {};
}

} // namespace

QString duplicatedKey(const QByteArray &json)
{
    return scanKeys(json).duplicate;
}

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
    const KeyLines lines = scanKeys(json);
    if (!lines.duplicate.isEmpty()) {
        result.error = lines.duplicate;
        result.line = lines.duplicateLine;
        return result;
    }
    const QJsonObject top = document.object();
    if (!top.contains(kFieldsKey)) {
        readFields(top, lines.top, result);
        return result;
    }
    for (const QString &key : top.keys()) {
        if (key != kFieldsKey && key != kBandKey && key != kBlockKey && !kWhereKeys.contains(key) &&
            !kReportKeys.contains(key)) {
            result.line = lines.top.value(key);
            result.error = QStringLiteral("unknown key \"%1\" beside \"fields\"").arg(key);
            return result;
        }
    }
    const QJsonValue fields = top.value(kFieldsKey);
    if (!fields.isObject()) {
        result.line = lines.top.value(kFieldsKey);
        result.error = QStringLiteral("\"fields\" must be an object");
        return result;
    }
    readFields(fields.toObject(), lines.fields, result);
    if (result.error.isEmpty())
        readBeside(top, lines, result);
    return result;
}

RunValues gatherValues(const ValueRequest &request)
{
    RunValues values;
    QString bandFrom;
    if (!request.profile.isEmpty()) {
        values.error = readProfileFile(request.profile, values);
        if (!values.error.isEmpty())
            return values;
        bandFrom = QStringLiteral("the profile's band %1").arg(values.changes.band);
    }
    QMap<QString, QString> given; // key -> the --set that gave it
    for (const QString &assignment : request.sets) {
        values.error = mergeAssignment(values, given, assignment);
        if (!values.error.isEmpty())
            return values;
    }
    if (given.contains(kBandKey))
        bandFrom = QStringLiteral("--set \"%1\"").arg(given.value(kBandKey));
    if (request.bandGiven && !values.changes.band.isEmpty() &&
        values.changes.band != request.band) {
        values.error = QStringLiteral("--band %1 and %2 disagree").arg(request.band, bandFrom);
        return values;
    }
    values.band = values.changes.band.isEmpty() ? request.band : values.changes.band;
    values.error = checkChanges(values.changes, values.band);
    if (values.error.isEmpty())
        values.notes << valueNotes(values.changes, values.band);
    return values;
}

} // namespace korva::production
