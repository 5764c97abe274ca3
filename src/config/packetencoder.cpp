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
    return {QStringLiteral("Error!! %1 %2 %3")
                .arg(field, shortenedForDisplay(text, kShownFieldLength), problem),
            applicationTitle()};
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

int codeOf(const QStringList &texts, const QString &text, int fallback)
{
    const qsizetype position = texts.indexOf(text);
    return position < 0 ? fallback : int(position);
}

Check appendCodes(QByteArray &packet, const ConfigTexts &texts)
{
    packet.append(char(codeOf(txPowerTexts(), texts.txPower, 0)));
    if (Check failure =
            appendPacketSize(packet, texts.txPacketSize, QStringLiteral("Tx Packet Size")))
        return failure;
    if (Check failure =
            appendPacketSize(packet, texts.rxPacketSize, QStringLiteral("Rx Packet Size")))
        return failure;
    packet.append(char(codeOf(rssiThresholdTexts(), texts.rssiThreshold, 0)));
    const qsizetype speed = rfTxSpeedTexts().indexOf(texts.rfTxSpeed);
    packet.append(char(speed < 0 ? 163 : rfTxSpeedCodes()[std::size_t(speed)]));
    return std::nullopt;
}

Check buildPacket(QByteArray &packet, const ConfigTexts &texts, const QString &band,
                  Channel &channel)
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
    return appendCodes(packet, texts);
}

} // namespace

EncodeResult encodePacket(const ConfigTexts &texts, const QString &band, Channel previous)
{
    EncodeResult result;
    result.channel = previous;
    QByteArray packet;
    packet.reserve(kBlockSize);
    result.failure = buildPacket(packet, texts, band, result.channel);
    if (!result.failure)
        result.packet = packet;
    return result;
}

} // namespace korva
