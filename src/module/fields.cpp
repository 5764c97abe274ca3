#include "module/fields.h"

#include <algorithm>
#include <iterator>

namespace korva
{

QList<Field> allFields()
{
    return {Field::DestinationAddress, Field::LocalAddress, Field::RfFrequency,  Field::TxPower,
            Field::RssiThreshold,      Field::TxPacketSize, Field::RxPacketSize, Field::RfTxSpeed};
}

QString fieldLabel(Field field)
{
    switch (field) {
    case Field::DestinationAddress:
        return QStringLiteral("Destination Address");
    case Field::LocalAddress:
        return QStringLiteral("Local Address");
    case Field::RfFrequency:
        return QStringLiteral("RF Frequency");
    case Field::TxPower:
        return QStringLiteral("Tx Power");
    case Field::RssiThreshold:
        return QStringLiteral("RSSI Threshhold");
    case Field::TxPacketSize:
        return QStringLiteral("Tx Packet Size");
    case Field::RxPacketSize:
        return QStringLiteral("Rx Packet Size");
    case Field::RfTxSpeed:
        return QStringLiteral("RF TX Speed");
    }
    return {};
}

QString fieldKey(Field field)
{
    switch (field) {
    case Field::RssiThreshold:
        // The page's label keeps an old misspelling; the key does not.
        return QStringLiteral("rssi-threshold");
    default:
        return fieldLabel(field).toLower().replace(u' ', u'-');
    }
}

QString fieldText(const ConfigTexts &texts, Field field)
{
    const auto address = [&](int first) {
        QString joined;
        for (int i = first; i < first + 4; ++i) {
            const QString &byte = texts.address[size_t(i)];
            joined += byte == placeholderText() ? byte : byte.rightJustified(2, u'0').toUpper();
        }
        return joined;
    };
    switch (field) {
    case Field::DestinationAddress:
        return address(kDestinationAddressByte);
    case Field::LocalAddress:
        return address(kLocalAddressByte);
    case Field::RfFrequency:
        return texts.frequency;
    case Field::TxPower:
        return texts.txPower;
    case Field::RssiThreshold:
        return texts.rssiThreshold;
    case Field::TxPacketSize:
        return texts.txPacketSize;
    case Field::RxPacketSize:
        return texts.rxPacketSize;
    case Field::RfTxSpeed:
        return texts.rfTxSpeed;
    }
    return {};
}

void setFieldText(ConfigTexts &texts, Field field, const QString &text)
{
    const auto address = [&](int first) {
        for (int i = 0; i < 4; ++i)
            texts.address[size_t(first + i)] = text.mid(2 * i, 2);
    };
    switch (field) {
    case Field::DestinationAddress:
        address(kDestinationAddressByte);
        break;
    case Field::LocalAddress:
        address(kLocalAddressByte);
        break;
    case Field::RfFrequency:
        texts.frequency = text;
        break;
    case Field::TxPower:
        texts.txPower = text;
        break;
    case Field::RssiThreshold:
        texts.rssiThreshold = text;
        break;
    case Field::TxPacketSize:
        texts.txPacketSize = text;
        break;
    case Field::RxPacketSize:
        texts.rxPacketSize = text;
        break;
    case Field::RfTxSpeed:
        texts.rfTxSpeed = text;
        break;
    }
}

QList<int> fieldBytes(Field field)
{
    switch (field) {
    case Field::DestinationAddress:
        return {0, 1, 2, 3};
    case Field::LocalAddress:
        return {4, 5, 6, 7};
    case Field::RfFrequency:
        return {kChannelHighByte, kChannelLowByte};
    case Field::TxPower:
        return {kTxPowerByte};
    case Field::RssiThreshold:
        return {kRssiThresholdByte};
    case Field::TxPacketSize:
        return {kTxPacketSizeByte};
    case Field::RxPacketSize:
        return {kRxPacketSizeByte};
    case Field::RfTxSpeed:
        return {kRfTxSpeedByte};
    }
    return {};
}

Field fieldOfPageField(int pageField)
{
    if (pageField < kLocalAddressByte)
        return Field::DestinationAddress;
    if (pageField < kAddressBytes)
        return Field::LocalAddress;
    static const Field others[] = {Field::RfFrequency,  Field::TxPower,       Field::TxPacketSize,
                                   Field::RxPacketSize, Field::RssiThreshold, Field::RfTxSpeed};
    return others[std::min(pageField - kAddressBytes, int(std::size(others)) - 1)];
}

QList<FieldDifference> differences(const ConfigTexts &expected, const ConfigTexts &actual,
                                   const QList<Field> &fields)
{
    QList<FieldDifference> found;
    for (Field field : fields) {
        const QString wanted = fieldText(expected, field);
        const QString held = fieldText(actual, field);
        if (wanted != held || held.contains(placeholderText()))
            found.append({field, wanted, held});
    }
    return found;
}

} // namespace korva
