#include "config/moduleconfig.h"
#include "config/numberreading.h"
#include "fuzzinput.h"

#include <QRegularExpression>

using namespace korva;
using korva::fuzz::require;

// Input: one selector byte (band, and for a typed band the length of its text), the two
// channel bytes held before the reply, the band text if typed, then the received burst.
namespace
{

bool isPlaceholder(const QString &text)
{
    return text == placeholderText();
}

void checkAddress(const QString &text, quint8 byte)
{
    static const QRegularExpression form(QStringLiteral("^(0|[1-9A-F][0-9A-F]?)$"));
    require(form.match(text).hasMatch(), "address form", text);
    require(text.toInt(nullptr, 16) == byte, "address value", text);
}

void checkDecimal(const QString &text, quint8 byte)
{
    static const QRegularExpression form(QStringLiteral("^(0|[1-9][0-9]{0,2})$"));
    require(form.match(text).hasMatch(), "packet size form", text);
    require(text.toInt() == byte, "packet size value", text);
}

void checkTableText(const QString &text, const QStringList &table, const char *what)
{
    require(isPlaceholder(text) || table.contains(text), what, text);
}

// A shown frequency has three decimals, lies inside its band and reads back as the
// channel it was made from, so sending the page unchanged keeps the module's channel.
void checkFrequency(const QString &text, Band band, int channel)
{
    static const QRegularExpression form(QStringLiteral("^[0-9]{3,4}\\.[0-9]{3}$"));
    require(form.match(text).hasMatch(), "frequency form", text);
    const double mhz = text.toDouble();
    const bool inBand =
        band == Band::Mhz433 ? mhz >= 430.0 && mhz <= 593.838 : mhz >= 860.0 && mhz <= 1187.675;
    require(inBand, "frequency outside its band", text);
    const std::optional<double> reading = readLeadingNumber(text);
    require(reading.has_value(), "frequency unreadable", text);
    require(channelFromFrequency(*reading, band) == channel, "frequency does not read back", text);
}

// The bytes a full reply gives when sent back unchanged: table codes the page cannot show
// go out as the lists' defaults.
QByteArray expectedResend(const QByteArray &block)
{
    QByteArray expected = block.left(kBlockSize);
    if (!txPowerText(quint8(expected.at(kTxPowerByte))))
        expected[kTxPowerByte] = 0;
    if (!rssiThresholdText(quint8(expected.at(kRssiThresholdByte))))
        expected[kRssiThresholdByte] = 0;
    if (!rfTxSpeedText(quint8(expected.at(kRfTxSpeedByte))))
        expected[kRfTxSpeedByte] = char(163);
    return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::InputReader input(data, size);
    const std::uint8_t selector = input.byte();
    const Channel previous = input.channel();
    const QString band = fuzz::bandText(selector, input);
    const QByteArray burst = input.rest();

    const DecodedBlock block = decodeBlock(burst, band, previous);
    const ConfigTexts &texts = block.texts;
    const qsizetype received = burst.size();
    auto byteAt = [&](int position) {
        return quint8(burst.at(position));
    };

    for (int i = 0; i < kAddressBytes; ++i) {
        const QString &text = texts.address[std::size_t(i)];
        if (i < received)
            checkAddress(text, byteAt(i));
        else
            require(isPlaceholder(text), "address without a byte", text);
    }

    const Channel expectedChannel{
        received > kChannelHighByte ? byteAt(kChannelHighByte) : previous.high,
        received > kChannelLowByte ? byteAt(kChannelLowByte) : previous.low};
    require(block.channel == expectedChannel, "channel bytes not kept or not taken");

    const Band knownBand = band == QLatin1String("433Mhz")   ? Band::Mhz433
                           : band == QLatin1String("868Mhz") ? Band::Mhz868
                                                             : Band::None;
    if (received > kChannelLowByte && knownBand != Band::None)
        checkFrequency(texts.frequency, knownBand, block.channel.high * 256 + block.channel.low);
    else
        require(isPlaceholder(texts.frequency), "frequency without channel or band",
                texts.frequency);

    checkTableText(texts.txPower, txPowerTexts(), "tx power text");
    checkTableText(texts.rssiThreshold, rssiThresholdTexts(), "rssi text");
    checkTableText(texts.rfTxSpeed, rfTxSpeedTexts(), "rf speed text");
    if (received <= kTxPowerByte)
        require(isPlaceholder(texts.txPower), "tx power without a byte");
    if (received <= kRssiThresholdByte)
        require(isPlaceholder(texts.rssiThreshold), "rssi without a byte");
    if (received <= kRfTxSpeedByte)
        require(isPlaceholder(texts.rfTxSpeed), "rf speed without a byte");
    if (received > kTxPacketSizeByte)
        checkDecimal(texts.txPacketSize, byteAt(kTxPacketSizeByte));
    else
        require(isPlaceholder(texts.txPacketSize), "tx size without a byte");
    if (received > kRxPacketSizeByte)
        checkDecimal(texts.rxPacketSize, byteAt(kRxPacketSizeByte));
    else
        require(isPlaceholder(texts.rxPacketSize), "rx size without a byte");

    // A complete reply sent back unchanged reproduces the module's block; with no known
    // band the channel bytes travel through the held values instead of the frequency text.
    if (received >= kBlockSize) {
        const EncodeResult resent = encodePacket(texts, band, block.channel);
        require(!resent.failure, "full reply cannot be sent back",
                resent.failure ? resent.failure->text : QString());
        require(resent.packet == expectedResend(burst), "resent packet differs",
                QString::fromLatin1(resent.packet.toHex(' ')));
        require(resent.channel == block.channel, "resend changed the channel bytes");
    }
    return 0;
}
