#include "config/moduleconfig.h"
#include "config/numberreading.h"

#include <QTest>

#include <limits>

using namespace korva;

Q_DECLARE_METATYPE(korva::Band)

class TestConfigRecord : public QObject
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
};

QTEST_APPLESS_MAIN(TestConfigRecord)
#include "tst_configrecord.moc"
