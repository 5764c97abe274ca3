#include "config/readback.h"

namespace korva
{

const QString &pageFieldText(const ConfigTexts &texts, int field)
{
    if (field < kAddressBytes)
        return texts.address[std::size_t(field)];
    switch (field - kAddressBytes) {
    case 0:
        return texts.frequency;
    case 1:
        return texts.txPower;
    case 2:
        return texts.txPacketSize;
    case 3:
        return texts.rxPacketSize;
    case 4:
        return texts.rssiThreshold;
    default:
        return texts.rfTxSpeed;
    }
}

QList<FieldMismatch> readBackMismatches(const QByteArray &packet, const QString &band,
                                        const ConfigTexts &held)
{
    QList<FieldMismatch> mismatches;
    if (packet.size() != kBlockSize)
        return mismatches;
    const ConfigTexts written = decodeBlock(packet, band, Channel{}).texts;
    for (int field = 0; field < kPageFieldCount; ++field) {
        const QString &wrote = pageFieldText(written, field);
        const QString &holds = pageFieldText(held, field);
        if (wrote == placeholderText())
            continue;
        if (wrote != holds)
            mismatches.append({field, wrote, holds});
    }
    return mismatches;
}

} // namespace korva
