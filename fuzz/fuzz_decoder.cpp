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

    // A complete reply sent back unchanged reproduces the module's block. A table code the
    // page cannot show is shown as "??", which is refused rather than sent as a code nobody
    // chose.
    const bool codesShown = txPowerText(quint8(burst.at(kTxPowerByte))) &&
                            rssiThresholdText(quint8(burst.at(kRssiThresholdByte))) &&
                            rfTxSpeedText(quint8(burst.at(kRfTxSpeedByte)));
    const EncodeResult resent = encodePacket(texts, band, block.channel);
    require(resent.failure.has_value() != codesShown, "resending a full reply",
            resent.failure ? resent.failure->text : QString());
    require(!codesShown || resent.packet == burst.left(kBlockSize), "resent packet differs",
            QString::fromLatin1(resent.packet.toHex(' ')));
    require(resent.channel == block.channel, "resend changed the channel bytes");
    return 0;
}
