#include "config/numberreading.h"

#include <QByteArray>

#include <cmath>
#include <locale.h>
#include <stdlib.h>

namespace korva
{

namespace
{

constexpr quint64 kMax16 = 0xFFFF;
constexpr quint64 kMax32 = 0xFFFFFFFF;

int digitValue(QChar c, int radix)
{
    const char16_t u = c.unicode();
    int value = radix;
    if (u >= u'0' && u <= u'9')
        value = u - u'0';
    else if (u >= u'a' && u <= u'f')
        value = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        value = u - u'A' + 10;
    return value < radix ? value : -1;
}

bool isDecimalDigit(const QString &s, qsizetype i)
{
    return i < s.size() && digitValue(s.at(i), 10) >= 0;
}

// Two's complement reading of a value in the given number of bits.
qint64 asSigned(quint64 value, int bits)
{
    const qint64 range = qint64(1) << bits;
    return value >= quint64(range / 2) ? qint64(value) - range : qint64(value);
}

std::optional<double> readRadixNumber(const QString &s, qsizetype from, int radix)
{
    quint64 value = 0;
    int digits = 0;
    for (qsizetype i = from; i < s.size(); ++i) {
        const int digit = digitValue(s.at(i), radix);
        if (digit < 0)
            break;
        value = value * quint64(radix) + quint64(digit);
        if (value > kMax32)
            return std::nullopt;
        ++digits;
    }
    const bool fits16 = radix == 16 ? digits <= 4 : digits <= 6 && value <= kMax16;
    return double(asSigned(value, fits16 ? 16 : 32));
}

// Converts an ASCII decimal number independently of the process locale, with correct rounding.
double cLocaleStrtod(const char *text)
{
#if defined(_WIN32)
    static const _locale_t cLocale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, nullptr, cLocale);
#else
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    return strtod_l(text, nullptr, cLocale);
#endif
}

std::optional<double> readDecimalNumber(const QString &s)
{
    QByteArray number;
    qsizetype i = 0;
    if (i < s.size() && (s.at(i) == u'+' || s.at(i) == u'-'))
        number.append(char(s.at(i++).unicode()));
    qsizetype mantissaDigits = 0;
    for (; isDecimalDigit(s, i); ++i, ++mantissaDigits)
        number.append(char(s.at(i).unicode()));
    if (i < s.size() && s.at(i) == u'.') {
        number.append('.');
        for (++i; isDecimalDigit(s, i); ++i, ++mantissaDigits)
            number.append(char(s.at(i).unicode()));
    }
    if (mantissaDigits == 0)
        return 0.0;
    if (i < s.size() && (s.at(i) == u'e' || s.at(i) == u'E')) {
        qsizetype j = i + 1;
        const bool hasSign = j < s.size() && (s.at(j) == u'+' || s.at(j) == u'-');
        if (hasSign)
            ++j;
        // An exponent marker without digits is not part of the number.
        if (isDecimalDigit(s, j)) {
            number.append('e');
            if (hasSign)
                number.append(char(s.at(j - 1).unicode()));
            for (; isDecimalDigit(s, j); ++j)
                number.append(char(s.at(j).unicode()));
        }
    }
    const double value = cLocaleStrtod(number.constData());
    // Underflow quietly reads as (nearly) zero; only a result beyond the range fails.
    if (std::isinf(value))
        return std::nullopt;
    return value;
}

QString withoutBlanks(const QString &text)
{
    QString s;
    s.reserve(text.size());
    for (const QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n')
            s.append(c);
    }
    return s;
}

} // namespace

HexReading readHexWord(const QString &text)
{
    if (text.isEmpty())
        return {0, HexFailure::NotANumber};
    quint64 value = 0;
    for (const QChar c : text) {
        const int digit = digitValue(c, 16);
        if (digit < 0)
            return {0, HexFailure::NotANumber};
        value = (value << 4 | quint64(digit)) & kMax16;
    }
    if (text.size() > 4)
        return {0, HexFailure::TooManyDigits};
    return {int(asSigned(value, 16)), std::nullopt};
}

std::optional<double> readLeadingNumber(const QString &text)
{
    const QString s = withoutBlanks(text);
    if (s.size() >= 2 && s.at(0) == u'&') {
        const QChar prefix = s.at(1);
        if (prefix == u'H' || prefix == u'h')
            return readRadixNumber(s, 2, 16);
        if (prefix == u'O' || prefix == u'o')
            return readRadixNumber(s, 2, 8);
        return 0.0;
    }
    return readDecimalNumber(s);
}

bool beginsWithNumber(const QString &text)
{
    const QString s = withoutBlanks(text);
    if (s.size() >= 2 && s.at(0) == u'&') {
        const QChar prefix = s.at(1);
        const int radix = prefix == u'H' || prefix == u'h'   ? 16
                          : prefix == u'O' || prefix == u'o' ? 8
                                                             : 0;
        return radix != 0 && s.size() > 2 && digitValue(s.at(2), radix) >= 0;
    }
    qsizetype i = 0;
    if (i < s.size() && (s.at(i) == u'+' || s.at(i) == u'-'))
        ++i;
    if (i < s.size() && s.at(i) == u'.')
        ++i;
    return isDecimalDigit(s, i);
}

double roundHalfEven(double value)
{
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction < 0.5)
        return below;
    if (fraction > 0.5)
        return below + 1;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

} // namespace korva
