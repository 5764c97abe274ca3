#include "config/moduleconfig.h"
#include "fuzzinput.h"

using namespace korva;
using korva::fuzz::require;

// Input: one selector byte (band, and for a typed band the length of its text), the
// channel bytes held before the reply, the band text if typed, then the received burst.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::InputReader input(data, size);
    const std::uint8_t selector = input.byte();
    const Channel previous = input.channel();
    const QString band = input.band(selector);
    const QByteArray burst = input.rest();

    const DecodedBlock block = decodeBlock(burst, band, previous);
    const ConfigTexts &texts = block.texts;
    QStringList fields(texts.address.begin(), texts.address.end());
    fields << texts.frequency << texts.txPower << texts.txPacketSize << texts.rxPacketSize
           << texts.rssiThreshold << texts.rfTxSpeed;
    for (const QString &field : fields)
        require(!field.isEmpty(), "empty field text");
    if (burst.size() < kBlockSize)
        return 0;

    // A complete reply sent back unchanged reproduces the module's block, but for table
    // codes the page cannot show: those go out as the lists' defaults.
    QByteArray expected = burst.left(kBlockSize);
    if (!txPowerText(quint8(expected.at(kTxPowerByte))))
        expected[kTxPowerByte] = 0;
    if (!rssiThresholdText(quint8(expected.at(kRssiThresholdByte))))
        expected[kRssiThresholdByte] = 0;
    if (!rfTxSpeedText(quint8(expected.at(kRfTxSpeedByte))))
        expected[kRfTxSpeedByte] = char(rfTxSpeedCodes()[0]);
    const EncodeResult resent = encodePacket(texts, band, block.channel);
    require(!resent.failure, "full reply cannot be sent back",
            resent.failure ? resent.failure->text : QString());
    require(resent.packet == expected, "resent packet differs",
            QString::fromLatin1(resent.packet.toHex(' ')));
    require(resent.channel == block.channel, "resend changed the channel bytes");
    return 0;
}
