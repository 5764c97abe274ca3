#include "config/moduleconfig.h"
#include "fuzzinput.h"

using namespace korva;
using korva::fuzz::require;

// Input: one selector byte (band, and for a typed band the length of its text), one flags
// byte (bit 0: the texts are UTF-8, else Latin-1), the channel bytes held before, the
// band text if typed, then the fourteen field texts in page order separated by '|'.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::InputReader input(data, size);
    const std::uint8_t selector = input.byte();
    const bool utf8 = input.byte() & 1;
    const Channel previous = input.channel();
    const QString band = input.band(selector);
    const QList<QByteArray> parts = input.rest().split('|');
    ConfigTexts texts;
    QString *const others[] = {&texts.frequency,    &texts.txPower,       &texts.txPacketSize,
                               &texts.rxPacketSize, &texts.rssiThreshold, &texts.rfTxSpeed};
    for (int i = 0; i < kAddressBytes + 6; ++i) {
        QString &field =
            i < kAddressBytes ? texts.address[std::size_t(i)] : *others[i - kAddressBytes];
        field = utf8 ? QString::fromUtf8(parts.value(i)) : QString::fromLatin1(parts.value(i));
    }

    const EncodeResult result = encodePacket(texts, band, previous);
    if (!bandTexts().contains(band))
        require(result.channel == previous, "channel bytes changed without a band");
    if (result.failure) {
        // A field name, a shortened copy of the typed text and the problem.
        require(result.packet.isEmpty(), "packet built despite a failure");
        require(!result.failure->title.isEmpty() && !result.failure->text.isEmpty() &&
                    result.failure->text.size() < 200,
                "failure text", result.failure->text);
        return 0;
    }
    require(result.packet.size() == kBlockSize, "packet is not 15 bytes");
    require(result.channel == Channel{quint8(result.packet.at(kChannelHighByte)),
                                      quint8(result.packet.at(kChannelLowByte))},
            "held channel bytes differ from the sent ones");

    // The module answers a later request with the block it was sent; the page showing that
    // answer must send the very same block again, or each Set/Refresh cycle drifts.
    const DecodedBlock shown = decodeBlock(result.packet, band, previous);
    const EncodeResult again = encodePacket(shown.texts, band, shown.channel);
    require(!again.failure && again.packet == result.packet, "round trip changed the packet",
            QString::fromLatin1(result.packet.toHex(' ') + " -> " + again.packet.toHex(' ')));
    return 0;
}
