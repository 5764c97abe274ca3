#include "config/moduleconfig.h"

#include <algorithm>

namespace korva
{

DecodedBlock decodeBlock(const QByteArray &burst, const QString &band, Channel previous)
{
    DecodedBlock block{placeholderTexts(), previous};
    ConfigTexts &texts = block.texts;
    const qsizetype count = std::min<qsizetype>(burst.size(), kBlockSize);
    for (qsizetype position = 0; position < count; ++position) {
        const auto byte = quint8(burst.at(position));
        switch (position) {
        case kChannelHighByte:
            block.channel.high = byte;
            break;
        case kChannelLowByte:
            block.channel.low = byte;
            texts.frequency =
                frequencyText(block.channel.high * 256 + block.channel.low, bandFromText(band));
            break;
        case kTxPowerByte:
            texts.txPower = txPowerText(byte).value_or(placeholderText());
            break;
        case kTxPacketSizeByte:
            texts.txPacketSize = decimalText(byte);
            break;
        case kRxPacketSizeByte:
            texts.rxPacketSize = decimalText(byte);
            break;
        case kRssiThresholdByte:
            texts.rssiThreshold = rssiThresholdText(byte).value_or(placeholderText());
            break;
        case kRfTxSpeedByte:
            texts.rfTxSpeed = rfTxSpeedText(byte).value_or(placeholderText());
            break;
        default:
            texts.address[std::size_t(position - kDestinationAddressByte)] = addressText(byte);
            break;
        }
    }
    return block;
}

} // namespace korva
