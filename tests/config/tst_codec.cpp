#include "config/moduleconfig.h"
#include "config/numberreading.h"
#include "config/readback.h"

#include <QTest>

#include <limits>

using namespace korva;

Q_DECLARE_METATYPE(korva::Band)

namespace
{

const QByteArray kExample = QByteArray::fromHex("7F7F7F7F010203040620001E1E0023");
// The page that shows kExample on 433 MHz, in page order: Text1..Text8, Text9, Text10,
// Text11, Text12, Combo4, Combo5.
const QStringList kExampleFields{"7F", "7F",      "7F",    "7F", "1",  "2",        "3",
                                 "4",  "433.920", "0 dBm", "30", "30", "-103 dBm", "9600 bps"};
const Channel kPrevious{0x11, 0x22};
const QString kError = QStringLiteral("Error");

// A page's field by its number in page order: 0..7 addresses, 8 frequency, 9 Tx power,
// 10 Tx size, 11 Rx size, 12 RSSI, 13 RF speed.
QString &field(ConfigTexts &texts, int number)
{
    if (number < kAddressBytes)
        return texts.address[std::size_t(number)];
    QString *const others[] = {&texts.frequency,    &texts.txPower,       &texts.txPacketSize,
                               &texts.rxPacketSize, &texts.rssiThreshold, &texts.rfTxSpeed};
    return *others[number - kAddressBytes];
}

QStringList fieldTexts(ConfigTexts texts)
{
    QStringList fields;
    for (int number = 0; number < kExampleFields.size(); ++number)
        fields << field(texts, number);
    return fields;
}

ConfigTexts examplePage()
{
    ConfigTexts texts;
    for (int number = 0; number < kExampleFields.size(); ++number)
        field(texts, number) = kExampleFields[number];
    return texts;
}

QByteArray withByte(QByteArray block, int position, quint8 byte)
{
    block[position] = char(byte);
    return block;
}

QByteArray withChannel(int channel)
{
    return withByte(withByte(kExample, 8, quint8(channel >> 8)), 9, quint8(channel));
}

// Each mismatch as "field|written|held", so a table row reads at a glance.
QStringList describe(const QList<FieldMismatch> &mismatches)
{
    QStringList lines;
    for (const FieldMismatch &m : mismatches)
        lines << QStringLiteral("%1|%2|%3").arg(m.field).arg(m.written, m.held);
    return lines;
}

} // namespace

// The configuration codec: the page's texts to the module's block and back, the
// read-back check, and the numbers and frequencies beneath them.
class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    // The speed byte is the code, not the list position; the texts are checked through
    // the encoder's messages, which list them.
    void speedCodes() { QCOMPARE(rfTxSpeedCodes(), (std::array<int, 5>{163, 145, 71, 35, 17})); }

    void frequencyText_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<Band>("band");
        QTest::addColumn<QString>("text");
        QTest::newRow("433 channel 0") << 0 << Band::Mhz433 << "430.000";
        QTest::newRow("433 channel 3 rounds half up") << 3 << Band::Mhz433 << "430.008";
        QTest::newRow("433 channel 1599") << 1599 << Band::Mhz433 << "433.998";
        QTest::newRow("868 channel 0") << 0 << Band::Mhz868 << "860.000";
        QTest::newRow("below range") << -1 << Band::Mhz433 << "??";
        QTest::newRow("above range") << 65536 << Band::Mhz868 << "??";
    }

    void frequencyText()
    {
        QFETCH(int, channel);
        QFETCH(Band, band);
        QFETCH(QString, text);
        QCOMPARE(korva::frequencyText(channel, band), text);
    }

    void channelFromFrequency_data()
    {
        QTest::addColumn<double>("mhz");
        QTest::addColumn<Band>("band");
        QTest::addColumn<std::optional<qint64>>("channel");
        using Channel = std::optional<qint64>;
        QTest::newRow("433.92") << 433.92 << Band::Mhz433 << Channel(1568);
        QTest::newRow("434 lies on channel 1600") << 434.0 << Band::Mhz433 << Channel(1600);
        QTest::newRow("868 lies on channel 1600") << 868.0 << Band::Mhz868 << Channel(1600);
        QTest::newRow("430") << 430.0 << Band::Mhz433 << Channel(0);
        QTest::newRow("430.003 rounds down") << 430.003 << Band::Mhz433 << Channel(1);
        QTest::newRow("1187.675") << 1187.675 << Band::Mhz868 << Channel(65535);
        QTest::newRow("1187.68") << 1187.68 << Band::Mhz868 << Channel(65536);
        QTest::newRow("zero") << 0.0 << Band::Mhz433 << Channel(-172000);
        QTest::newRow("far but 32-bit") << 1e6 << Band::Mhz433 << Channel(399828000);
        QTest::newRow("beyond 32 bits") << 1e7 << Band::Mhz433 << Channel();
        QTest::newRow("far below") << -1e300 << Band::Mhz868 << Channel();
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << Band::Mhz433
                                  << Channel();
        QTest::newRow("no band") << 433.92 << Band::None << Channel();
    }

    void channelFromFrequency()
    {
        QFETCH(double, mhz);
        QFETCH(Band, band);
        QFETCH(std::optional<qint64>, channel);
        QCOMPARE(korva::channelFromFrequency(mhz, band), channel);
    }

    void readLeadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<double>>("value");
        using Value = std::optional<double>;
        QTest::newRow("blanks anywhere") << " 4 3 3 . 9 2" << Value(433.92);
        QTest::newRow("tabs and line feeds") << "\t433\n.92" << Value(433.92);
        QTest::newRow("carriage return ends it") << "1\r2" << Value(1);
        QTest::newRow("second point ends it") << "1.2.3" << Value(1.2);
        QTest::newRow("no number") << "abc" << Value(0);
        QTest::newRow("empty") << "" << Value(0);
        QTest::newRow("plus") << "+7.5" << Value(7.5);
        QTest::newRow("sign alone") << "-" << Value(0);
        QTest::newRow("two signs") << "--5" << Value(0);
        QTest::newRow("point first") << ".5" << Value(0.5);
        QTest::newRow("lower-case exponent") << "1.5e+2x" << Value(150);
        QTest::newRow("negative exponent") << "25e-2" << Value(0.25);
        QTest::newRow("exponent without digits") << "2E" << Value(2);
        QTest::newRow("rounds correctly") << "430.0025" << Value(430.0025);
        QTest::newRow("huge exponent") << "1E99999999999999999999" << Value();
        QTest::newRow("underflow reads zero") << "1E-400" << Value(0);
        QTest::newRow("zero with huge exponent") << "0E99999" << Value(0);
        QTest::newRow("hex lower case") << "&hff" << Value(255);
        QTest::newRow("hex 16-bit negative") << "&HFFFF" << Value(-1);
        QTest::newRow("hex five digits") << "&H0FFFF" << Value(65535);
        QTest::newRow("hex 32-bit") << "&H10000" << Value(65536);
        QTest::newRow("hex 32-bit negative") << "&HFFFFFFFF" << Value(-1);
        QTest::newRow("hex beyond 32 bits") << "&H100000000" << Value();
        QTest::newRow("hex ends at a letter") << "&H1G" << Value(1);
        QTest::newRow("hex without digits") << "&H" << Value(0);
        QTest::newRow("hex with blanks") << "& H 1 0" << Value(16);
        QTest::newRow("octal") << "&O17" << Value(15);
        QTest::newRow("octal beyond 16 bits") << "&O200000" << Value(65536);
        QTest::newRow("octal ends at 8") << "&O78" << Value(7);
        QTest::newRow("octal beyond 32 bits") << "&O40000000000" << Value();
        QTest::newRow("other prefix") << "&X1" << Value(0);
    }

    void readLeadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<double>, value);
        const std::optional<double> read = korva::readLeadingNumber(text);
        QCOMPARE(read.has_value(), value.has_value());
        if (value)
            QVERIFY2(*read == *value, qPrintable(QString::number(*read, 'g', 17)));
    }

    void decodesBurst_data()
    {
        QTest::addColumn<QByteArray>("burst");
        QTest::addColumn<QString>("band");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("low");

        // The previous channel is kPrevious in every row.
        const QStringList blank(14, QStringLiteral("??"));
        auto example = [&](int field, const QString &text) {
            QStringList fields = kExampleFields;
            fields[field] = text;
            return fields;
        };

        QTest::newRow("example 433") << kExample << "433Mhz" << kExampleFields << 0x06 << 0x20;
        QTest::newRow("example 868")
            << kExample << "868Mhz" << example(8, "867.840") << 0x06 << 0x20;
        QTest::newRow("unknown band keeps frequency unknown")
            << kExample << "433MHz" << example(8, "??") << 0x06 << 0x20;
        QTest::newRow("bytes past the block ignored")
            << kExample + QByteArray(20, '\x01') << "433Mhz" << kExampleFields << 0x06 << 0x20;

        QStringList nine = kExampleFields.mid(0, 8) + blank.mid(8);
        QTest::newRow("nine bytes keep the previous low byte")
            << kExample.left(9) << "433Mhz" << nine << 0x06 << 0x22;
        QStringList ten = nine;
        ten[8] = "433.920";
        QTest::newRow("ten bytes give the frequency")
            << kExample.left(10) << "433Mhz" << ten << 0x06 << 0x20;
        const QStringList three = QStringList{"7F", "7F", "A5"} + blank.mid(3);
        QTest::newRow("A5 ending a short burst")
            << QByteArray::fromHex("7F7FA5") << "433Mhz" << three << 0x11 << 0x22;

        QTest::newRow("A5 as the channel low byte")
            << withByte(kExample, 9, 0xA5) << "868Mhz" << example(8, "868.505") << 0x06 << 0xA5;

        QTest::newRow("Tx power 8 outside table")
            << withByte(kExample, 10, 8) << "433Mhz" << example(9, "??") << 0x06 << 0x20;
        QTest::newRow("RSSI 6 outside table")
            << withByte(kExample, 13, 6) << "433Mhz" << example(12, "??") << 0x06 << 0x20;
        QTest::newRow("RF speed 3 is a list position, not a code")
            << withByte(kExample, 14, 3) << "433Mhz" << example(13, "??") << 0x06 << 0x20;
        QTest::newRow("highest channel 868") << withByte(withByte(kExample, 8, 0xFF), 9, 0xFF)
                                             << "868Mhz" << example(8, "1187.675") << 0xFF << 0xFF;
        QTest::newRow("odd channel rounds half up") << withByte(withByte(kExample, 8, 0), 9, 1)
                                                    << "433Mhz" << example(8, "430.003") << 0 << 1;
    }

    void decodesBurst()
    {
        QFETCH(QByteArray, burst);
        QFETCH(QString, band);
        QFETCH(QStringList, fields);
        QFETCH(int, high);
        QFETCH(int, low);

        const DecodedBlock block = decodeBlock(burst, band, kPrevious);
        QCOMPARE(fieldTexts(block.texts), fields);
        QCOMPARE(block.channel.high, high);
        QCOMPARE(block.channel.low, low);
    }

    void encodes_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("band");
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("low");

        const QString nan = QStringLiteral("Invalid input (00-FF)");
        const QString nanTitle = QStringLiteral("Error!!");
        const QString app = applicationTitle();
        const QString value = QStringLiteral("Incorrect value");
        const QString frequency = QStringLiteral("Incorrect Frequency value");
        const QString b433 = QStringLiteral("433Mhz");
        const QByteArray none;
        auto ok = [&](const char *name, int field, const QString &text, const QByteArray &packet,
                      const QString &band = QStringLiteral("433Mhz")) {
            QTest::newRow(name) << field << text << band << packet << QString() << QString()
                                << quint8(packet[8]) + 0 << quint8(packet[9]) + 0;
        };
        auto fails = [&](const char *name, int field, const QString &text, const QString &failure,
                         const QString &title, Channel kept = {0x06, 0x20}) {
            QTest::newRow(name) << field << text << b433 << none << failure << title << kept.high
                                << kept.low;
        };
        const QString negative = QStringLiteral(" is negative and cannot be sent as a byte");
        auto badSize = [&](const char *name, const QString &text, const QString &problem) {
            fails(name, 10, text, "Error!! Tx Packet Size " + text + problem, app);
        };

        ok("example", 0, "7F", kExample);
        ok("address FF", 4, "fF", withByte(kExample, 4, 0xFF));
        fails("empty address", 0, "", nan, nanTitle, kPrevious);
        fails("placeholder address", 3, "??", nan, nanTitle, kPrevious);
        fails("address with blank", 6, " 7", nan, nanTitle, kPrevious);
        fails("address 100", 5, "100", value, kError, kPrevious);
        fails("address 7FFF", 0, "7FFF", value, kError, kPrevious);
        fails("address 8000", 0, "8000", "Error!! Destination address byte 8000 is out of range",
              app, kPrevious);
        fails("address FFFF", 5, "FFFF", "Error!! Local address byte FFFF is out of range", app,
              kPrevious);
        fails("address of five digits", 4, "00001",
              "Error!! Local address byte 00001 has too many digits", app, kPrevious);

        ok("highest frequency", 8, "593.838", withChannel(65535));
        fails("frequency 593.84", 8, "593.84", frequency, kError, {256, 0});
        fails("frequency 429.999", 8, "429.999", frequency, kError, {-1, 0xFF});
        fails("placeholder frequency", 8, "??", frequency, kError, {-672, 32});
        fails("frequency beyond double", 8, "1E400",
              "Error!! RF Frequency 1E400 is too large to be read", app, kPrevious);
        fails("frequency beyond 32 bits", 8, "1E12",
              "Error!! RF Frequency 1E12 is far outside the 433Mhz band", app, kPrevious);
        ok("868 on a channel", 8, "868", withChannel(1600), "868Mhz");
        ok("unknown band sends the previous channel", 8, "garbage", withChannel(0x1122), "433MHz");

        const QString power = QStringLiteral(" is not in its list; it takes one of: 0 dBm, -3 dBm, "
                                             "-6 dBm, -9 dBm, -12 dBm, -15 dBm, -18 dBm, -21 dBm");
        fails("Tx power placeholder", 9, "??", "Error!! Tx Power ??" + power, app);
        fails("Tx power case differs", 9, "-21 DBM", "Error!! Tx Power -21 DBM" + power, app);

        ok("Tx size 255", 10, "255", withByte(kExample, 11, 0xFF));
        ok("Tx size followed by text", 10, "12 bytes", withByte(kExample, 11, 12));
        const QString noNumber =
            QStringLiteral(" holds no number; it takes a whole number 0 to 255");
        badSize("Tx size placeholder", "??", noNumber);
        badSize("Tx size bare sign", "-", noNumber);
        badSize("Tx size bare hex prefix", "&H", noNumber);
        badSize("Tx size other prefix", "&B1", noNumber);
        ok("Tx size half to even down", 10, "12.5", withByte(kExample, 11, 12));
        ok("Tx size half to even up", 10, "13.5", withByte(kExample, 11, 14));
        ok("Tx size small negative rounds to 0", 10, "-0.4", withByte(kExample, 11, 0));
        ok("Tx size hex", 10, "&HFF", withByte(kExample, 11, 0xFF));
        fails("Tx size 256", 10, "256", value, kError);
        fails("Tx size 32767", 10, "32767", value, kError);
        badSize("Tx size -3", "-3", negative);
        badSize("Tx size beyond 16 bits", "32767.5", " is too large");
        badSize("Tx size far negative", "-40000", negative);
        badSize("Tx size beyond double", "9E999", " is too large to be read");
        fails("long text is shortened", 10, "-" + QString(50, u'9'),
              "Error!! Tx Packet Size -" + QString(20, u'9') + "..." + negative, app);
        ok("Rx size 0", 11, "0", withByte(kExample, 12, 0));
        fails("Rx size empty", 11, "", "Error!! Rx Packet Size" + noNumber, app);

        const QString rssi = QStringLiteral(" is not in its list; it takes one of: -103 dBm, "
                                            "-97 dBm, -91 dBm, -85 dBm, -79 dBm, -73 dBm");
        const QString speed = QStringLiteral(" is not in its list; it takes one of: 1200 bps, "
                                             "2400 bps, 4800 bps, 9600 bps, 19200 bps");
        fails("RSSI placeholder", 12, "??", "Error!! RSSI Threshhold ??" + rssi, app);
        fails("RF speed placeholder", 13, "??", "Error!! RF TX Speed ??" + speed, app);
    }

    void encodes()
    {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(QString, band);
        QFETCH(QByteArray, packet);
        QFETCH(QString, failure);
        QFETCH(QString, title);
        QFETCH(int, high);
        QFETCH(int, low);

        ConfigTexts texts = examplePage();
        ::field(texts, field) = text;
        const EncodeResult result = encodePacket(texts, band, kPrevious);
        QCOMPARE(result.packet.toHex(' '), packet.toHex(' '));
        QCOMPARE(result.failure.value_or(EncodeFailure()).text, failure);
        QCOMPARE(result.failure.value_or(EncodeFailure()).title, title);
        QCOMPARE(result.failure.has_value(), !failure.isEmpty());
        QCOMPARE(result.channel, (Channel{high, low}));
    }

    void stopsAtTheFirstFailure()
    {
        ConfigTexts texts = examplePage();
        texts.address[7] = "??";
        texts.frequency = "??";
        texts.txPacketSize = "-1";
        EncodeResult result = encodePacket(texts, "433Mhz", kPrevious);
        QCOMPARE(result.failure->text, QStringLiteral("Invalid input (00-FF)"));
        QCOMPARE(result.channel, kPrevious);

        texts.address[7] = "4";
        result = encodePacket(texts, "433Mhz", kPrevious);
        QCOMPARE(result.failure->text, QStringLiteral("Incorrect Frequency value"));

        texts.frequency = "433.92";
        texts.rxPacketSize = "999";
        result = encodePacket(texts, "433Mhz", kPrevious);
        QVERIFY(result.failure->text.startsWith("Error!! Tx Packet Size -1"));

        // A channel left out of range by a failed send is refused when the band is unknown.
        result = encodePacket(examplePage(), "", Channel{-1, 0xFF});
        QCOMPARE(result.failure->text, QStringLiteral("Incorrect Frequency value"));
        result = encodePacket(examplePage(), "", Channel{0x06, 256});
        QCOMPARE(result.failure->text, QStringLiteral("Incorrect Frequency value"));
    }

    void decodedBlocksEncodeToTheSameBytes()
    {
        const auto speeds = rfTxSpeedCodes();
        for (const QString band : {"433Mhz", "868Mhz", "none"}) {
            for (int channel = 0; channel <= kMaxChannel; ++channel) {
                // Every byte value appears in every address position, every size and every code.
                QByteArray block(kBlockSize, Qt::Uninitialized);
                for (int i = 0; i < kAddressBytes; ++i)
                    block[i] = char(channel * (2 * i + 1) + i);
                block[8] = char(channel >> 8);
                block[9] = char(channel);
                block[10] = char(channel % 8);
                block[11] = char(channel);
                block[12] = char(channel >> 8);
                block[13] = char(channel % 6);
                block[14] = char(speeds[std::size_t(channel % 5)]);

                const DecodedBlock decoded = decodeBlock(block, band, Channel{});
                const EncodeResult encoded = encodePacket(decoded.texts, band, decoded.channel);
                if (encoded.packet != block) {
                    QFAIL(qPrintable(QStringLiteral("%1 %2 gave %3 %4")
                                         .arg(band, block.toHex(' '), encoded.packet.toHex(' '),
                                              encoded.failure.value_or(EncodeFailure()).text)));
                }
                QCOMPARE(encoded.channel, decoded.channel);
            }
        }
    }

    void mismatches_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QByteArray>("readBack");
        QTest::addColumn<QString>("band");
        QTest::addColumn<QStringList>("expected");

        // Typed texts in other forms than the page shows them encode the same bytes.
        ConfigTexts typed;
        typed.address = {"7f", "7F", "07F", "7F", "01", "2", "03", "4"};
        typed.frequency = " 433.92";
        typed.txPower = "0 dBm";
        typed.txPacketSize = "30.4";
        typed.rxPacketSize = "3E1";
        typed.rssiThreshold = "-103 dBm";
        typed.rfTxSpeed = "9600 bps";
        const QByteArray typedPacket = encodePacket(typed, "433Mhz", {}).packet;

        QTest::newRow("same block") << kExample << kExample << "433Mhz" << QStringList{};
        QTest::newRow("typed forms") << typedPacket << kExample << "433Mhz" << QStringList{};
        QTest::newRow("frequency kept")
            << withChannel(0x0640) << kExample << "433Mhz" << QStringList{"8|434.000|433.920"};
        QTest::newRow("one address byte and a code kept")
            << withByte(withByte(kExample, 5, 0x0A), kRfTxSpeedByte, 0x11) << kExample << "868Mhz"
            << QStringList{"5|A|2", "13|19200 bps|9600 bps"};
        QTest::newRow("short read-back")
            << kExample << kExample.left(9) << "433Mhz"
            << QStringList{"8|433.920|??", "9|0 dBm|??",     "10|30|??",
                           "11|30|??",     "12|-103 dBm|??", "13|9600 bps|??"};
        QTest::newRow("code outside the table read back")
            << kExample << withByte(kExample, kTxPowerByte, 0x09) << "433Mhz"
            << QStringList{"9|0 dBm|??"};
        QTest::newRow("unknown band: frequency not compared")
            << kExample << withByte(kExample, kChannelHighByte, 0x07) << "433MHZ" << QStringList{};
        QTest::newRow("no packet written")
            << QByteArray() << QByteArray() << "433Mhz" << QStringList{};
    }

    void mismatches()
    {
        QFETCH(QByteArray, packet);
        QFETCH(QByteArray, readBack);
        QFETCH(QString, band);
        QFETCH(QStringList, expected);

        const ConfigTexts held = decodeBlock(readBack, band, Channel{}).texts;
        QCOMPARE(describe(readBackMismatches(packet, band, held)), expected);
    }
};

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
