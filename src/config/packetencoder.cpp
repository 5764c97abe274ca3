#include "config/displaytext.h"
#include "config/moduleconfig.h"
#include "config/numberreading.h"

namespace korva
{

namespace
{

using Check = std::optional<EncodeFailure>;

EncodeFailure incorrectValue()
{
    return {QStringLiteral("Incorrect value"), QStringLiteral("Error")};
}

EncodeFailure incorrectFrequency()
{
    return {QStringLiteral("Incorrect Frequency value"), QStringLiteral("Error")};
}

EncodeFailure notANumber()
{
    return {QStringLiteral("Invalid input (00-FF)"), QStringLiteral("Error!!")};
}

// Names the field and the text the user typed, shortened so a long paste cannot flood the box.
EncodeFailure otherFailure(const QString &field, const QString &text, const QString &problem)
{
    const QString shown = shortenedForDisplay(text, kShownFieldLength);
    const QString subject = shown.isEmpty() ? field : field + u' ' + shown;
    return {QStringLiteral("Error!! %1 %2").arg(subject, problem), applicationTitle()};
}

QString addressField(int box)
{
    return box < 4 ? QStringLiteral("Destination address byte")
                   : QStringLiteral("Local address byte");
}

Check appendAddressByte(QByteArray &packet, const QString &text, int box)
{
    const HexReading reading = readHexWord(text);
    if (reading.failure == HexFailure::NotANumber)
        return notANumber();
    if (reading.failure == HexFailure::TooManyDigits)
        return otherFailure(addressField(box), text, QStringLiteral("has too many digits"));
    if (reading.value > 255)
        return incorrectValue();
    if (reading.value < 0)
        return otherFailure(addressField(box), text, QStringLiteral("is out of range"));
    packet.append(char(reading.value));
    return std::nullopt;
}

// Sets `channel` from the frequency text when the band is known; otherwise leaves it alone.
Check readChannel(const QString &frequency, const QString &bandText, Channel &channel)
{
    const Band band = bandFromText(bandText);
    if (band == Band::None)
        return std::nullopt;
    const QString field = QStringLiteral("RF Frequency");
    const std::optional<double> mhz = readLeadingNumber(frequency);
    if (!mhz)
        return otherFailure(field, frequency, QStringLiteral("is too large to be read"));
    const std::optional<qint64> number = channelFromFrequency(*mhz, band);
    if (!number)
        return otherFailure(field, frequency,
                            QStringLiteral("is far outside the %1 band").arg(bandText));
    // The high byte keeps the sign of a negative channel, so such a channel fails the check.
    channel.high = int((*number - (*number & 0xFF)) / 256);
    channel.low = int(*number & 0xFF);
    return std::nullopt;
}

Check appendChannelByte(QByteArray &packet, int value)
{
    if (value < 0 || value > 255)
        return incorrectFrequency();
    packet.append(char(value));
    return std::nullopt;
}

Check appendPacketSize(QByteArray &packet, const QString &text, const QString &field)
{
    // A text with no number would be sent as 0, a size nobody chose ("??" included).
    if (!beginsWithNumber(text))
        return otherFailure(field, text,
                            QStringLiteral("holds no number; it takes a whole number 0 to 255"));
    const std::optional<double> number = readLeadingNumber(text);
    if (!number)
        return otherFailure(field, text, QStringLiteral("is too large to be read"));
    const double size = roundHalfEven(*number);
    // Beyond 16 bits it is too large; any negative value, however large, cannot be a byte.
    if (size > 32767)
        return otherFailure(field, text, QStringLiteral("is too large"));
    if (size > 255)
        return incorrectValue();
    if (size < 0)
        return otherFailure(field, text,
                            QStringLiteral("is negative and cannot be sent as a byte"));
    packet.append(char(int(size)));
    return std::nullopt;
}

// The code of a list's entry, or with CodeForms::ListOrRaw a code written out
// ("0x16"). Any other text ("??" for a value not received, or a hand-typed one)
// stops the packet rather than sending a code nobody chose.
Check appendCode(QByteArray &packet, const QString &text, const QStringList &entries,
                 const QString &field, int (*codeAt)(qsizetype), CodeForms forms)
{
    if (forms == CodeForms::ListOrRaw) {
        if (const auto code = rawCodeFromText(text)) {
            packet.append(char(*code));
            return std::nullopt;
        }
    }
    const qsizetype position = entries.indexOf(text);
    if (position < 0) {
        return otherFailure(field, text,
                            QStringLiteral("is not in its list; it takes one of: %1")
                                .arg(entries.join(QStringLiteral(", "))));
    }
    packet.append(char(codeAt(position)));
    return std::nullopt;
}

int positionCode(qsizetype position)
{
    return int(position);
}

int rfTxSpeedCode(qsizetype position)
{
    return rfTxSpeedCodes()[std::size_t(position)];
}

Check appendCodes(QByteArray &packet, const ConfigTexts &texts, CodeForms forms)
{
    if (Check failure = appendCode(packet, texts.txPower, txPowerTexts(),
                                   QStringLiteral("Tx Power"), positionCode, forms))
        return failure;
    if (Check failure =
            appendPacketSize(packet, texts.txPacketSize, QStringLiteral("Tx Packet Size")))
        return failure;
    if (Check failure =
            appendPacketSize(packet, texts.rxPacketSize, QStringLiteral("Rx Packet Size")))
        return failure;
    if (Check failure = appendCode(packet, texts.rssiThreshold, rssiThresholdTexts(),
                                   QStringLiteral("RSSI Threshhold"), positionCode, forms))
        return failure;
    return appendCode(packet, texts.rfTxSpeed, rfTxSpeedTexts(), QStringLiteral("RF TX Speed"),
                      rfTxSpeedCode, forms);
}

Check buildPacket(QByteArray &packet, const ConfigTexts &texts, const QString &band,
                  Channel &channel, CodeForms forms)
{
    for (int box = 0; box < kAddressBytes; ++box) {
        if (Check failure = appendAddressByte(packet, texts.address[std::size_t(box)], box))
            return failure;
    }
    if (Check failure = readChannel(texts.frequency, band, channel))
        return failure;
    if (Check failure = appendChannelByte(packet, channel.high))
        return failure;
    if (Check failure = appendChannelByte(packet, channel.low))
        return failure;
    return appendCodes(packet, texts, forms);
}

} // namespace

EncodeResult encodePacket(const ConfigTexts &texts, const QString &band, Channel previous,
                          CodeForms forms)
{
    EncodeResult result;
    result.channel = previous;
    QByteArray packet;
    packet.reserve(kBlockSize);
    result.failure = buildPacket(packet, texts, band, result.channel, forms);
    if (!result.failure)
        result.packet = packet;
    return result;
}

} // namespace korva
