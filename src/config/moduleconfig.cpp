#include "config/moduleconfig.h"

#include <QRegularExpression>

#include <cmath>

namespace korva
{

namespace
{

const QString kPlaceholder = QStringLiteral("??");

std::optional<QString> textAt(const QStringList &texts, int code)
{
    if (code < 0 || code >= texts.size())
        return std::nullopt;
    return texts.at(code);
}

} // namespace

QString applicationTitle()
{
    return QStringLiteral("KORVA Module Setup Utility");
}

QString placeholderText()
{
    return kPlaceholder;
}

Band bandFromText(const QString &text)
{
    if (text == QLatin1String("433Mhz"))
        return Band::Mhz433;
    if (text == QLatin1String("868Mhz"))
        return Band::Mhz868;
    return Band::None;
}

QStringList bandTexts()
{
    return {QStringLiteral("433Mhz"), QStringLiteral("868Mhz")};
}

QStringList txPowerTexts()
{
    return {QStringLiteral("0 dBm"),   QStringLiteral("-3 dBm"),  QStringLiteral("-6 dBm"),
            QStringLiteral("-9 dBm"),  QStringLiteral("-12 dBm"), QStringLiteral("-15 dBm"),
            QStringLiteral("-18 dBm"), QStringLiteral("-21 dBm")};
}

QStringList rssiThresholdTexts()
{
    return {QStringLiteral("-103 dBm"), QStringLiteral("-97 dBm"), QStringLiteral("-91 dBm"),
            QStringLiteral("-85 dBm"),  QStringLiteral("-79 dBm"), QStringLiteral("-73 dBm")};
}

QStringList rfTxSpeedTexts()
{
    return {QStringLiteral("1200 bps"), QStringLiteral("2400 bps"), QStringLiteral("4800 bps"),
            QStringLiteral("9600 bps"), QStringLiteral("19200 bps")};
}

std::array<int, 5> rfTxSpeedCodes()
{
    return {163, 145, 71, 35, 17};
}

std::optional<QString> txPowerText(int code)
{
    return textAt(txPowerTexts(), code);
}

std::optional<QString> rssiThresholdText(int code)
{
    return textAt(rssiThresholdTexts(), code);
}

std::optional<QString> rfTxSpeedText(int code)
{
    const auto codes = rfTxSpeedCodes();
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] == code)
            return rfTxSpeedTexts().at(int(i));
    }
    return std::nullopt;
}

QString rawCodeText(quint8 code)
{
    return QStringLiteral("0x") + QString::number(code, 16).rightJustified(2, u'0').toUpper();
}

std::optional<quint8> rawCodeFromText(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^0[xX]([0-9A-Fa-f]{2})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return quint8(match.captured(1).toUInt(nullptr, 16));
}

QString addressText(quint8 byte)
{
    return QString::number(byte, 16).toUpper();
}

QString decimalText(quint8 byte)
{
    return QString::number(byte);
}

QString frequencyText(int channel, Band band)
{
    if (band == Band::None || channel < 0 || channel > kMaxChannel)
        return kPlaceholder;
    // Whole kHz: 2.5 kHz steps round half up (N * 2.5 = N * 5 / 2), 5 kHz steps are exact.
    const int kiloHertz =
        band == Band::Mhz433 ? 430000 + (channel * 5 + 1) / 2 : 860000 + channel * 5;
    return QStringLiteral("%1.%2").arg(kiloHertz / 1000).arg(kiloHertz % 1000, 3, 10, QChar(u'0'));
}

std::optional<qint64> channelFromFrequency(double mhz, Band band)
{
    if (band == Band::None || !std::isfinite(mhz))
        return std::nullopt;
    const double x = band == Band::Mhz433 ? (mhz / 10 - 43) * 4000 : (mhz / 10 - 86) * 2000;
    // A frequency on a channel can land a hair below it in binary; take the channel it is on.
    const double nearest = std::round(x);
    const double channel = std::abs(x - nearest) <= 1e-6 ? nearest : std::floor(x);
    if (!(channel >= -2147483648.0 && channel <= 2147483647.0))
        return std::nullopt;
    return qint64(channel);
}

ConfigTexts placeholderTexts()
{
    ConfigTexts texts;
    texts.address.fill(kPlaceholder);
    texts.frequency = kPlaceholder;
    texts.txPower = kPlaceholder;
    texts.txPacketSize = kPlaceholder;
    texts.rxPacketSize = kPlaceholder;
    texts.rssiThreshold = kPlaceholder;
    texts.rfTxSpeed = kPlaceholder;
    return texts;
}

} // namespace korva
