#pragma once

#include <QString>

#include <optional>

// Reading the page's texts as numbers, the way the configuration page has always read them.
namespace korva
{

enum class HexFailure {
    NotANumber,   // empty, or a character that is not a hexadecimal digit
    TooManyDigits // more than four digits do not fit a 16-bit number
};

struct HexReading {
    int value = 0; // -32768..32767
    std::optional<HexFailure> failure;
};

// Reads a whole text as 1 to 4 hexadecimal digits (either case) forming a 16-bit signed
// number, so 8000..FFFF read negative. Nothing else is allowed, not even blanks.
HexReading readHexWord(const QString &text);

// Reads the number at the start of a text. Blanks, tabs and line feeds are ignored anywhere;
// an optional sign, digits with a point as the decimal separator and an optional exponent
// (E, either case, optional sign) form a decimal number. "&H" and "&O" (either case) start
// a hexadecimal or octal number: 16-bit signed for up to 4 hex or 6 octal digits that fit
// 16 bits, else 32-bit signed. The number ends at the first character that cannot continue
// it; a text that does not begin with a number reads 0. Returns nullopt for a decimal number
// beyond the range of a double or a hex or octal number beyond 32 bits.
std::optional<double> readLeadingNumber(const QString &text);

// Whether the text, blanks ignored as above, begins with a number at all: at least one digit
// after the optional sign (or point), or after "&H" / "&O". readLeadingNumber reads 0 otherwise.
bool beginsWithNumber(const QString &text);

// The nearest whole number, a half going to the even neighbour (12.5 -> 12, 13.5 -> 14).
double roundHalfEven(double value);

} // namespace korva
