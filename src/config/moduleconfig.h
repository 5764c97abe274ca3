#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// The module's configuration: the 15-byte block layout, the code tables, the
// band formulas and every text form the page shows. Pure functions only.
namespace korva
{

inline constexpr int kBlockSize = 15;

// Byte positions inside the configuration block (same in both directions).
inline constexpr int kDestinationAddressByte = 0; // bytes 0..3
inline constexpr int kLocalAddressByte = 4;       // bytes 4..7
inline constexpr int kChannelHighByte = 8;
inline constexpr int kChannelLowByte = 9;
inline constexpr int kTxPowerByte = 10;
inline constexpr int kTxPacketSizeByte = 11;
inline constexpr int kRxPacketSizeByte = 12;
inline constexpr int kRssiThresholdByte = 13;
inline constexpr int kRfTxSpeedByte = 14;

inline constexpr int kAddressBytes = 8;
inline constexpr int kMaxChannel = 65535;

// Title of message boxes that carry no title of their own.
QString applicationTitle();

// Text of a field for which nothing was received from the module.
QString placeholderText();

enum class Band { None, Mhz433, Mhz868 };

// Exact, case-sensitive match of "433Mhz" / "868Mhz"; anything else is Band::None.
Band bandFromText(const QString &text);

// List entries, in list order.
QStringList bandTexts();
QStringList txPowerTexts();       // code = position
QStringList rssiThresholdTexts(); // code = position
QStringList rfTxSpeedTexts();     // code = rfTxSpeedCodes() at the same position
std::array<int, 5> rfTxSpeedCodes();

// Table lookups: the text for a code, or nullopt when the code is not in the table.
std::optional<QString> txPowerText(int code);
std::optional<QString> rssiThresholdText(int code);
std::optional<QString> rfTxSpeedText(int code);

// A list field's code as it stands, "0x16": the form for a code the list does
// not hold, so such a module can still be read and written back as it was.
QString rawCodeText(quint8 code);
// The code of a text in that form ("0x" and two hex digits, any case), else nullopt.
std::optional<quint8> rawCodeFromText(const QString &text);

// Text forms of single bytes: upper-case hex without leading zero, plain decimal.
QString addressText(quint8 byte);
QString decimalText(quint8 byte);

// Frequency text (three decimals, halves rounded up) of a channel 0..65535.
// Band::None gives the placeholder.
QString frequencyText(int channel, Band band);

// The channel of a frequency in MHz: a frequency within binary rounding error of
// a channel gives that channel, any other rounds down to the channel below.
// Returns nullopt when the result does not fit a 32-bit whole number or the band
// is Band::None. The result may lie outside 0..65535; the caller checks that.
std::optional<qint64> channelFromFrequency(double mhz, Band band);

// The page's fourteen value fields, in page order.
struct ConfigTexts {
    std::array<QString, kAddressBytes> address; // Text1..Text8
    QString frequency;                          // Text9
    QString txPower;                            // Text10
    QString txPacketSize;                       // Text11
    QString rxPacketSize;                       // Text12
    QString rssiThreshold;                      // Combo4
    QString rfTxSpeed;                          // Combo5

    bool operator==(const ConfigTexts &) const = default;
};

// Every field set to the placeholder.
ConfigTexts placeholderTexts();

// The two channel bytes, kept as numbers between a received block and the next packet.
struct Channel {
    int high = 0;
    int low = 0;
    bool operator==(const Channel &) const = default;
};

struct DecodedBlock {
    ConfigTexts texts;
    Channel channel;
};

// Turns the bytes of one burst (only those received; missing bytes stay "??")
// into field texts. Bytes past the block are ignored. A channel byte that did
// not arrive keeps its value from `previous`.
DecodedBlock decodeBlock(const QByteArray &burst, const QString &band, Channel previous);

struct EncodeFailure {
    QString text;  // message box text
    QString title; // message box title
    bool operator==(const EncodeFailure &) const = default;
};

struct EncodeResult {
    // The 15-byte packet, empty when a check failed.
    QByteArray packet;
    // Channel bytes after encoding: computed from the frequency when the band is
    // known (kept even when a later check fails), else `previous` unchanged.
    Channel channel;
    std::optional<EncodeFailure> failure;
};

// Which texts a list field (Tx power, RSSI threshold, RF TX speed) takes: its
// entries only (the window), or also a raw code such as "0x16" (korva-cli).
enum class CodeForms { ListOnly, ListOrRaw };

// Reads the page's texts, checks them in packet order and builds the packet, or
// stops at the first failing check.
EncodeResult encodePacket(const ConfigTexts &texts, const QString &band, Channel previous,
                          CodeForms forms = CodeForms::ListOnly);

} // namespace korva
