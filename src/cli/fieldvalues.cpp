#include "cli/fieldvalues.h"

#include <QRegularExpression>

namespace korva::cli
{

namespace
{

// A valid configuration that the checks of single fields are run against.
const QByteArray kValidBlock = QByteArray::fromHex("7F7F7F7F010203040620001E1E0023");

const QString kBandKey = QStringLiteral("band");

std::optional<Field> fieldForKey(const QString &key)
{
    for (Field field : allFields())
        if (fieldKey(field) == key)
            return field;
    return std::nullopt;
}

// The entry of a list that the value names, ignoring case and surrounding blanks.
std::optional<QString> listEntry(const QStringList &entries, const QString &value)
{
    for (const QString &entry : entries)
        if (entry.compare(value.trimmed(), Qt::CaseInsensitive) == 0)
            return entry;
    return std::nullopt;
}

QString notInList(const QString &key, const QString &value, const QStringList &entries)
{
    return QStringLiteral("%1: \"%2\" is not one of: %3").arg(key, value, entries.join(u", "));
}

// Eight hex digits, or four bytes of one or two hex digits separated by spaces
// or colons; the result is eight upper-case hex digits.
std::optional<QString> addressValue(const QString &value)
{
    static const QRegularExpression eight(QStringLiteral("^[0-9A-Fa-f]{8}$"));
    static const QRegularExpression four(
        QStringLiteral("^([0-9A-Fa-f]{1,2})[ :]+([0-9A-Fa-f]{1,2})[ :]+([0-9A-Fa-f]{1,2})[ :]+"
                       "([0-9A-Fa-f]{1,2})$"));
    const QString trimmed = value.trimmed();
    if (eight.match(trimmed).hasMatch())
        return trimmed.toUpper();
    const QRegularExpressionMatch bytes = four.match(trimmed);
    if (!bytes.hasMatch())
        return std::nullopt;
    QString joined;
    for (int i = 1; i <= 4; ++i)
        joined += bytes.captured(i).rightJustified(2, u'0').toUpper();
    return joined;
}

QString fieldValue(Field field, const QString &key, const QString &value, QString &error)
{
    const QString trimmed = value.trimmed();
    switch (field) {
    case Field::DestinationAddress:
    case Field::LocalAddress:
        if (auto address = addressValue(value))
            return *address;
        error = QStringLiteral("%1: \"%2\" is not an address: give 8 hex digits (7F7F0001) or "
                               "four bytes (7F:7F:00:01)")
                    .arg(key, value);
        return {};
    case Field::RfFrequency: {
        bool ok = false;
        trimmed.toDouble(&ok);
        if (ok)
            return trimmed;
        error =
            QStringLiteral("%1: \"%2\" is not a frequency in MHz, such as 433.920").arg(key, value);
        return {};
    }
    case Field::TxPacketSize:
    case Field::RxPacketSize: {
        static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
        if (digits.match(trimmed).hasMatch())
            return trimmed;
        error = QStringLiteral("%1: \"%2\" is not a whole number").arg(key, value);
        return {};
    }
    case Field::TxPower:
    case Field::RssiThreshold:
    case Field::RfTxSpeed: {
        const QStringList entries = field == Field::TxPower         ? txPowerTexts()
                                    : field == Field::RssiThreshold ? rssiThresholdTexts()
                                                                    : rfTxSpeedTexts();
        if (auto entry = listEntry(entries, value))
            return *entry;
        error = notInList(key, value, entries);
        return {};
    }
    }
    return {};
}

} // namespace

QStringList knownKeys()
{
    QStringList keys;
    for (Field field : allFields()) {
        keys << fieldKey(field);
        if (field == Field::LocalAddress)
            keys << kBandKey; // the band stands between the addresses and the frequency
    }
    return keys;
}

QString addChange(Changes &changes, const QString &key, const QString &value)
{
    if (key == kBandKey) {
        const auto band = listEntry(bandTexts(), value);
        if (!band)
            return notInList(key, value, bandTexts());
        changes.band = *band;
        return {};
    }
    const auto field = fieldForKey(key);
    if (!field)
        return QStringLiteral("unknown key \"%1\" (keys: %2)").arg(key, knownKeys().join(u", "));
    QString error;
    const QString text = fieldValue(*field, key, value, error);
    if (error.isEmpty())
        changes.fields[*field] = text;
    return error;
}

QString addAssignment(Changes &changes, const QString &assignment)
{
    const qsizetype equals = assignment.indexOf(u'=');
    if (equals < 0)
        return QStringLiteral("\"%1\" is not KEY=VALUE").arg(assignment);
    return addChange(changes, assignment.left(equals).trimmed(), assignment.mid(equals + 1));
}

void applyChanges(ConfigTexts &texts, const Changes &changes)
{
    for (const auto &[field, text] : changes.fields) {
        switch (field) {
        case Field::DestinationAddress:
        case Field::LocalAddress: {
            const int first =
                field == Field::DestinationAddress ? kDestinationAddressByte : kLocalAddressByte;
            for (int i = 0; i < 4; ++i)
                texts.address[size_t(first + i)] = text.mid(2 * i, 2);
            break;
        }
        case Field::RfFrequency:
            texts.frequency = text;
            break;
        case Field::TxPower:
            texts.txPower = text;
            break;
        case Field::RssiThreshold:
            texts.rssiThreshold = text;
            break;
        case Field::TxPacketSize:
            texts.txPacketSize = text;
            break;
        case Field::RxPacketSize:
            texts.rxPacketSize = text;
            break;
        case Field::RfTxSpeed:
            texts.rfTxSpeed = text;
            break;
        }
    }
}

QString checkChanges(const Changes &changes, const QString &band)
{
    const DecodedBlock valid = decodeBlock(kValidBlock, band, {});
    for (const auto &[field, text] : changes.fields) {
        Changes single;
        single.fields[field] = text;
        ConfigTexts texts = valid.texts;
        applyChanges(texts, single);
        const EncodeResult result = encodePacket(texts, band, valid.channel);
        if (result.failure)
            return fieldKey(field) + QStringLiteral(": ") + result.failure->text;
    }
    return {};
}

ConfigTexts canonicalTexts(const Changes &changes, const QString &band)
{
    const DecodedBlock valid = decodeBlock(kValidBlock, band, {});
    ConfigTexts texts = valid.texts;
    applyChanges(texts, changes);
    const EncodeResult result = encodePacket(texts, band, valid.channel);
    return decodeBlock(result.packet, band, valid.channel).texts;
}

} // namespace korva::cli
