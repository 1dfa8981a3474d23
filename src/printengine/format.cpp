#include "printengine/format.h"

#include "engine/convert.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace printengine {

namespace {

struct NumberPattern {
    QString prefix, suffix;
    QString negativePrefix, negativeSuffix;
    bool hasNegative = false;
    int minInteger = 1;
    int grouping = 0;
    int minFraction = 0, maxFraction = 0;
    double multiplier = 1;
};

// Literal text around the digits: quotes removed, % and per-mille noted.
QString Affix(const QString& text, double& multiplier) {
    QString out;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == '\'') {
            if (i + 1 < text.size() && text[i + 1] == '\'') {
                out += '\'';
                ++i;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        if (!quoted && c == '%') multiplier = 100;
        if (!quoted && c == QChar(0x2030)) multiplier = 1000;
        if (!quoted && c == QChar(0x00A4)) {
            out += QLocale().currencySymbol();
            continue;
        }
        out += c;
    }
    return out;
}

bool IsPatternChar(QChar c) {
    return c == '#' || c == '0' || c == ',' || c == '.';
}

void SplitAffixes(const QString& sub, QString& prefix, QString& body, QString& suffix) {
    int start = 0;
    bool quoted = false;
    while (start < sub.size() && (quoted || !IsPatternChar(sub[start]))) {
        if (sub[start] == '\'') quoted = !quoted;
        ++start;
    }
    int end = start;
    while (end < sub.size() && IsPatternChar(sub[end]))
        ++end;
    prefix = sub.left(start);
    body = sub.mid(start, end - start);
    suffix = sub.mid(end);
}

NumberPattern ParseNumberPattern(const std::string& text) {
    NumberPattern p;
    const QString pattern = QString::fromStdString(text);
    int semicolon = -1;
    bool quoted = false;
    for (int i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\'') quoted = !quoted;
        if (!quoted && pattern[i] == ';') {
            semicolon = i;
            break;
        }
    }
    QString prefix, body, suffix;
    SplitAffixes(semicolon < 0 ? pattern : pattern.left(semicolon), prefix, body, suffix);
    p.prefix = Affix(prefix, p.multiplier);
    p.suffix = Affix(suffix, p.multiplier);
    if (semicolon >= 0) {
        QString np, nb, ns;
        SplitAffixes(pattern.mid(semicolon + 1), np, nb, ns);
        double ignored = 1;
        p.negativePrefix = Affix(np, ignored);
        p.negativeSuffix = Affix(ns, ignored);
        p.hasNegative = true;
    }
    const int dot = body.indexOf('.');
    const QString integer = dot < 0 ? body : body.left(dot);
    const QString fraction = dot < 0 ? QString() : body.mid(dot + 1);
    p.minInteger = int(integer.count('0'));
    const int comma = integer.lastIndexOf(',');
    if (comma >= 0) p.grouping = int(integer.size() - comma - 1);
    p.minFraction = int(fraction.count('0'));
    p.maxFraction = int(fraction.count('0') + fraction.count('#'));
    return p;
}

QString JavaToQtDateFormat(const std::string& java) {
    const QString in = QString::fromStdString(java);
    QString out;
    for (int i = 0; i < in.size();) {
        const QChar c = in[i];
        if (c == '\'') {
            const int close = in.indexOf('\'', i + 1);
            const int end = close < 0 ? int(in.size()) : close + 1;
            out += in.mid(i, end - i);
            i = end;
            continue;
        }
        if (!c.isLetter()) {
            out += c;
            ++i;
            continue;
        }
        int run = 1;
        while (i + run < in.size() && in[i + run] == c)
            ++run;
        i += run;
        const auto repeat = [&](const char* s, int n) { return QString(s).repeated(n); };
        switch (c.unicode()) {
        case 'y':
            out += run == 2 ? "yy" : "yyyy";
            break;
        case 'M':
        case 'L':
            out += repeat("M", std::min(run, 4));
            break;
        case 'd':
            out += repeat("d", std::min(run, 2));
            break;
        case 'E':
            out += run >= 4 ? "dddd" : "ddd";
            break;
        case 'H':
        case 'k':
            out += repeat("H", std::min(run, 2));
            break;
        case 'h':
        case 'K':
            out += repeat("h", std::min(run, 2));
            break;
        case 'm':
            out += repeat("m", std::min(run, 2));
            break;
        case 's':
            out += repeat("s", std::min(run, 2));
            break;
        case 'S':
            out += "zzz";
            break;
        case 'a':
            out += "AP";
            break;
        default:
            break; // time zones and the like: this engine's dates have none
        }
    }
    return out;
}

} // namespace

namespace {

// The pattern's number from its digits: `digits` is |value| in fixed-point
// form with the pattern's most fraction digits.
QString ComposeNumber(bool negative, const std::string& digits, const NumberPattern& p) {
    const QLocale locale;
    std::string intPart = digits, fracPart;
    if (const size_t dot = digits.find('.'); dot != std::string::npos) {
        intPart = digits.substr(0, dot);
        fracPart = digits.substr(dot + 1);
    }
    while (int(fracPart.size()) > p.minFraction && !fracPart.empty() && fracPart.back() == '0')
        fracPart.pop_back();
    if (intPart == "0" && p.minInteger == 0) intPart.clear();
    while (int(intPart.size()) < p.minInteger)
        intPart.insert(intPart.begin(), '0');
    QString out;
    const QString group = locale.groupSeparator();
    for (size_t i = 0; i < intPart.size(); ++i) {
        if (p.grouping > 0 && i > 0 && (intPart.size() - i) % size_t(p.grouping) == 0) out += group;
        out += QChar(intPart[i]);
    }
    if (!fracPart.empty()) out += locale.decimalPoint() + QString::fromStdString(fracPart);
    if (out.isEmpty()) out = "0";
    const bool showNegative =
        negative && (intPart + fracPart).find_first_of("123456789") != std::string::npos;
    if (showNegative) {
        if (p.hasNegative) return p.negativePrefix + out + p.negativeSuffix;
        return locale.negativeSign() + p.prefix + out + p.suffix;
    }
    return p.prefix + out + p.suffix;
}

} // namespace

QString FormatNumber(double value, const std::string& pattern) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : value > 0 ? "∞" : "-∞";
    const NumberPattern p = ParseNumberPattern(pattern);
    double v = value * p.multiplier;
    const bool negative = std::signbit(v) && v != 0;
    v = std::fabs(v);
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", std::clamp(p.maxFraction, 0, 30), v);
    return ComposeNumber(negative, buf, p);
}

QString FormatMoney(engine::Currency value, const std::string& pattern) {
    const NumberPattern p = ParseNumberPattern(pattern);
    if (p.multiplier != 1) return FormatNumber(engine::CurrencyToDouble(value), pattern);
    const bool negative = value.units < 0;
    std::uint64_t units = negative ? 0 - std::uint64_t(value.units) : std::uint64_t(value.units);
    // Fewer decimals than money has: rounded halves to even, as Java's
    // DecimalFormat rounds.
    const int places = std::clamp(p.maxFraction, 0, 30);
    if (places < 4) units = engine::RoundUnitsHalfEven(units, places);
    std::string digits = std::to_string(units / 10000);
    if (places > 0) {
        std::string fraction = std::to_string(units % 10000 + 10000).substr(1);
        fraction.resize(std::size_t(places), '0');
        digits += '.' + fraction;
    }
    return ComposeNumber(negative, digits, p);
}

QString FormatDate(const engine::DateTime& d, const std::string& pattern) {
    // Dates carry no time zone; UTC keeps the system's zone rules out of it.
    const QDateTime dt(QDate(d.year, d.month, d.day), QTime(d.hour, d.minute, d.second), Qt::UTC);
    if (!dt.isValid()) return QString::fromStdString(JavaText(d));
    return QLocale().toString(dt, JavaToQtDateFormat(pattern));
}

QString FormatValue(const Value& value, const std::string& pattern) {
    if (!pattern.empty()) {
        if (const auto* i = std::get_if<std::int64_t>(&value))
            return FormatNumber(static_cast<double>(*i), pattern);
        if (const auto* d = std::get_if<double>(&value)) return FormatNumber(*d, pattern);
        if (const auto* c = std::get_if<engine::Currency>(&value)) return FormatMoney(*c, pattern);
        if (const auto* dt = std::get_if<engine::DateTime>(&value)) return FormatDate(*dt, pattern);
    }
    return QString::fromStdString(JavaText(value));
}

} // namespace printengine
