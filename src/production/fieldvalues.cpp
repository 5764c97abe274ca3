#include "production/fieldvalues.h"

#include <QRegularExpression>

#include <cmath>

namespace korva::production
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

std::optional<QString> listText(Field field, int code)
{
    switch (field) {
    case Field::TxPower:
        return txPowerText(code);
    case Field::RssiThreshold:
        return rssiThresholdText(code);
    default:
        return rfTxSpeedText(code);
    }
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
        // A code written out, as read prints one the list does not hold.
        if (const auto code = rawCodeFromText(trimmed))
            return listText(field, *code).value_or(rawCodeText(*code));
        error = notInList(key, value, entries) + QStringLiteral(", or a code such as 0x16");
        return {};
    }
    }
    return {};
}

// "433Mhz takes 430.000 to 593.838 MHz": the frequencies of the first and the last channel.
QString bandRange(const QString &band)
{
    const Band known = bandFromText(band);
    return QStringLiteral("%1 takes %2 to %3 MHz")
        .arg(band, frequencyText(0, known), frequencyText(kMaxChannel, known));
}

// A profile's block must hold what its fields say: one of the two edited by
// hand would otherwise be lost without a word.
QString checkBlock(const Changes &changes, const QString &band)
{
    if (changes.block.isEmpty())
        return {};
    const DecodedBlock decoded = decodeBlock(changes.block, band, {});
    const ConfigTexts held = withRawCodes(decoded.texts, changes.block);
    ConfigTexts texts = held;
    applyChanges(texts, changes);
    const EncodeResult encoded = encodePacket(texts, band, decoded.channel, CodeForms::ListOrRaw);
    for (const auto &[field, text] : changes.fields) {
        for (int position : fieldBytes(field)) {
            if (encoded.packet.size() == kBlockSize &&
                encoded.packet.at(position) != changes.block.at(position))
                return QStringLiteral("\"block\" holds %1 %2, \"fields\" give %3: they must agree")
                    .arg(fieldKey(field), fieldText(held, field), text);
        }
    }
    return {};
}

// Every key, in page order, the band among them.
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

} // namespace

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
    for (const auto &[field, text] : changes.fields)
        setFieldText(texts, field, text);
}

QString checkChanges(const Changes &changes, const QString &band)
{
    const DecodedBlock valid = decodeBlock(kValidBlock, band, {});
    for (const auto &[field, text] : changes.fields) {
        Changes single;
        single.fields[field] = text;
        ConfigTexts texts = valid.texts;
        applyChanges(texts, single);
        const EncodeResult result = encodePacket(texts, band, valid.channel, CodeForms::ListOrRaw);
        if (!result.failure)
            continue;
        QString refusal = fieldKey(field) + QStringLiteral(": ") + result.failure->text;
        if (field == Field::RfFrequency)
            refusal += QStringLiteral(" (%1)").arg(bandRange(band));
        return refusal;
    }
    return checkBlock(changes, band);
}

QStringList valueNotes(const Changes &changes, const QString &band)
{
    const auto given = changes.fields.find(Field::RfFrequency);
    if (given == changes.fields.end())
        return {};
    const QString taken = canonicalTexts(changes, band).frequency;
    if (std::abs(given->second.toDouble() - taken.toDouble()) < 1e-9)
        return {};
    return {QStringLiteral("rf-frequency: %1 MHz lies between two channels; the module takes %2")
                .arg(given->second, taken)};
}

ConfigTexts withRawCodes(ConfigTexts texts, const QByteArray &block)
{
    const auto raw = [&](QString &text, int position) {
        if (text == placeholderText() && position < block.size())
            text = rawCodeText(quint8(block.at(position)));
    };
    raw(texts.txPower, kTxPowerByte);
    raw(texts.rssiThreshold, kRssiThresholdByte);
    raw(texts.rfTxSpeed, kRfTxSpeedByte);
    return texts;
}

ConfigTexts canonicalTexts(const Changes &changes, const QString &band)
{
    const DecodedBlock valid = decodeBlock(kValidBlock, band, {});
    ConfigTexts texts = valid.texts;
    applyChanges(texts, changes);
    const EncodeResult result = encodePacket(texts, band, valid.channel, CodeForms::ListOrRaw);
    return withRawCodes(decodeBlock(result.packet, band, valid.channel).texts, result.packet);
}

} // namespace korva::production
