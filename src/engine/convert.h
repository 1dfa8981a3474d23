// The engine's value rules: which field definitions are valid and how a value
// handed to a field becomes a value of that field's type. Every driver gets
// values that already passed through here, so every format obeys the same rules.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

bool IsValidFieldType(int type);

// The size a new field of `type` gets. Text and binary fields keep the size
// asked for, which must be 1 to 255 (3259 otherwise); every other type has the
// size the classic engine reported for it (Long 4, Double 8, Memo 0, ...).
// An unknown type code raises 3259.
int CheckedFieldSize(int type, int size);

// `value` as a value of `field`'s type, or EngineError: 3163 (text longer than
// the field), 3315 (zero-length text where the field does not allow it), 3349
// (number too large for the type), 3421 (cannot be converted). Null stays Null.
Value ConvertValue(const Value& value, const Field& field);
// The same, written into `out` so that a text reuses the storage it had.
void ConvertValueInto(const Value& value, const Field& field, Value& out);

// A number written in text: optional sign, digits with "." as the decimal
// point, optional exponent; blanks around it allowed. Nothing when it is not one.
std::optional<double> ParseNumber(std::string_view text);
// A date in one of the forms the engine reads: yyyy-mm-dd[( |T)hh:mm[:ss]],
// m/d/yyyy [h:mm[:ss] [AM|PM]], or a time alone (on the engine's day zero).
std::optional<DateTime> ParseDate(std::string_view text);
// Halves go to the even neighbour, as the classic engine rounded.
double RoundHalfEven(double value);

// A "&H" or "&O" number at the start of `s`, as the classic reader took it:
// up to four hexadecimal digits (or an octal value up to &O177777) make a
// 16-bit value, so &HFFFF is -1; longer ones a 32-bit value. No digits give 0.
// False when `s` starts with neither; `used` counts the characters read.
bool ReadRadixNumber(std::string_view s, std::int32_t& value, std::size_t& used);

// Text as Currency, exactly, never through a double: a decimal number (E or D
// before an exponent) or a whole "&H"/"&O" number, blanks around it allowed,
// rounded to four decimals with halves to even. Nothing when the text is not
// a number; then `overflow` tells a number beyond Currency's range.
std::optional<Currency> ParseCurrency(std::string_view text, bool& overflow);
// The shortest exact decimal text of a Currency value ("." decimal point).
std::string CurrencyText(Currency value);
// The double nearest to a Currency value, for formats that store a double.
double CurrencyToDouble(Currency value);
// A Currency magnitude in ten-thousandths rounded to `decimals` (0 to 4)
// decimals, halves to even; still in ten-thousandths. Unsigned, as the least
// Currency value has no positive counterpart.
std::uint64_t RoundUnitsHalfEven(std::uint64_t units, int decimals);

bool IsValidDateTime(const DateTime& value);
// The stored form "YYYY-MM-DD HH:MM:SS" and its inverse (that form only).
std::string FormatDateTime(const DateTime& value);
// Writes the stored form into `out` (19 characters, no terminator).
void FormatDateTimeTo(const DateTime& value, char* out);
std::optional<DateTime> ParseDateTime(std::string_view text);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int DaysFromCivil(int y, int m, int d);
void CivilFromDays(int z, int& y, int& m, int& d);

// Days since 1899-12-30, the time as the fraction of a day, as the classic
// engine counted dates; and back (nothing outside the years 100 to 9999).
double DateToSerial(const DateTime& value);
std::optional<DateTime> SerialToDate(double serial);

// Characters of a UTF-8 text (code points, not bytes).
std::size_t CountCharacters(std::string_view utf8);

// The text a number becomes in a text field ("." decimal point, up to 15
// significant digits, whatever the locale).
std::string NumberText(double value);

} // namespace engine
