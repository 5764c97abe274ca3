#include "config/moduleconfig.h"
#include "fuzzinput.h"

#include <QList>
#include <QRegularExpression>

using namespace korva;
using korva::fuzz::require;

// Input: one selector byte (band, and for a typed band the length of its text), one flags
// byte (bit 0: the texts are UTF-8, else Latin-1), the two channel bytes held before, the
// band text if typed, then the fourteen field texts in page order separated by '|'.
namespace
{

constexpr char kSeparator = '|';
constexpr int kFieldCount = kAddressBytes + 6;
// Field name, a shortened copy of the typed text and the problem fit well within this.
constexpr qsizetype kLongestFailureText = 120;

ConfigTexts fieldTexts(const QByteArray &raw, bool utf8)
{
    QList<QByteArray> parts = raw.split(kSeparator);
    parts.resize(kFieldCount);
    QStringList fields;
    for (const QByteArray &part : parts)
        fields.append(utf8 ? QString::fromUtf8(part) : QString::fromLatin1(part));
    ConfigTexts texts;
    for (int i = 0; i < kAddressBytes; ++i)
        texts.address[std::size_t(i)] = fields.at(i);
    texts.frequency = fields.at(8);
    texts.txPower = fields.at(9);
    texts.txPacketSize = fields.at(10);
    texts.rxPacketSize = fields.at(11);
    texts.rssiThreshold = fields.at(12);
    texts.rfTxSpeed = fields.at(13);
    return texts;
}

void checkFailure(const EncodeFailure &failure)
{
    require(!failure.text.isEmpty() && !failure.title.isEmpty(), "empty failure text or title");
    require(failure.text.size() <= kLongestFailureText, "failure text too long", failure.text);
    const QString &text = failure.text;
    if (text == QLatin1String("Incorrect value") ||
        text == QLatin1String("Incorrect Frequency value"))
        require(failure.title == QLatin1String("Error"), "check failure title", failure.title);
    else if (text == QLatin1String("Invalid input (00-FF)"))
        require(failure.title == QLatin1String("Error!!"), "not-a-number title", failure.title);
    else
        require(text.startsWith(QLatin1String("Error!! ")) && failure.title == applicationTitle(),
                "other failure text or title", text);
}

// The bytes sent for texts a user typed in their plainest form are the numbers they show.
void checkPlainTexts(const ConfigTexts &texts, const QByteArray &packet)
{
    static const QRegularExpression plainDecimal(QStringLiteral("^[0-9]{1,3}$"));
    for (int i = 0; i < kAddressBytes; ++i) {
        bool ok = false;
        const uint value = texts.address[std::size_t(i)].toUInt(&ok, 16);
        require(ok && value == quint8(packet.at(i)), "address byte differs from its text",
                texts.address[std::size_t(i)]);
    }
    if (plainDecimal.match(texts.txPacketSize).hasMatch())
        require(texts.txPacketSize.toInt() == quint8(packet.at(kTxPacketSizeByte)),
                "tx size byte differs from its text", texts.txPacketSize);
    if (plainDecimal.match(texts.rxPacketSize).hasMatch())
        require(texts.rxPacketSize.toInt() == quint8(packet.at(kRxPacketSizeByte)),
                "rx size byte differs from its text", texts.rxPacketSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::InputReader input(data, size);
    const std::uint8_t selector = input.byte();
    const bool utf8 = input.byte() & 1;
    const Channel previous = input.channel();
    const QString band = fuzz::bandText(selector, input);
    const ConfigTexts texts = fieldTexts(input.rest(), utf8);

    const EncodeResult result = encodePacket(texts, band, previous);
    const bool knownBand = band == QLatin1String("433Mhz") || band == QLatin1String("868Mhz");
    if (!knownBand)
        require(result.channel == previous, "channel bytes changed without a band");

    if (result.failure) {
        require(result.packet.isEmpty(), "packet built despite a failure");
        checkFailure(*result.failure);
        return 0;
    }
    require(result.packet.size() == kBlockSize, "packet is not 15 bytes");
    const Channel sent{quint8(result.packet.at(kChannelHighByte)),
                       quint8(result.packet.at(kChannelLowByte))};
    require(result.channel == sent, "held channel bytes differ from the sent ones");
    checkPlainTexts(texts, result.packet);

    // The module answers a later request with the block it was sent; the page showing that
    // answer must send the very same block again, or each Set/Refresh cycle drifts.
    const DecodedBlock shown = decodeBlock(result.packet, band, previous);
    const EncodeResult again = encodePacket(shown.texts, band, shown.channel);
    require(!again.failure, "decoded packet cannot be sent again",
            again.failure ? again.failure->text : QString());
    require(again.packet == result.packet, "round trip changed the packet",
            QString::fromLatin1(result.packet.toHex(' ') + " -> " + again.packet.toHex(' ')));
    return 0;
}
