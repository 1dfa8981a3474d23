#include "store/valuetext.h"

#include "engine/convert.h"

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace store {

namespace {

// QLocale() is the system locale unless a test pinned another one with
// QLocale::setDefault, which is why it is used instead of QLocale::system().
QLocale TextLocale() {
    return QLocale();
}

// General form with up to 15 significant digits: plain notation for decimal
// exponents from -4 to 14, otherwise mantissa, "E", sign and exponent.
// std::to_chars ignores the C locale, which QApplication sets from the
// environment, so the only locale-dependent part is the separator swapped in.
std::string NumberText(double value) {
    if (value == 0.0) return "0"; // also for -0
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    if (ec != std::errc()) return {};
    std::string digits(buf, end);
    std::string out;
    const std::string separator = TextLocale().decimalPoint().toStdString();
    for (char c : digits) {
        if (c == '.')
            out += separator;
        else if (c == 'e')
            out += 'E';
        else
            out += c;
    }
    return out;
}

// The locale's time format with seconds: its long form without the time zone.
QString TimeFormatWithSeconds(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == u'\'') quoted = !quoted;
        if (!quoted && c == u't') continue;
        out += c;
    }
    out.replace(QStringLiteral("()"), QString());
    return out.simplified();
}

// The locale's short date format, with the full year: exported dates must
// not lose their century where the locale's short form writes "yy".
QString ShortDateFormat(const QLocale& locale) {
    static QString cachedFor, cached;
    const QString name = locale.name();
    if (name == cachedFor && !cached.isEmpty()) return cached;
    QString format = locale.dateFormat(QLocale::ShortFormat);
    if (!format.contains(QStringLiteral("yyyy")))
        format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    cachedFor = name;
    cached = format;
    return format;
}

std::string DateText(const engine::DateTime& dt) {
    const QDate date(dt.year, dt.month, dt.day);
    const QTime time(dt.hour, dt.minute, dt.second);
    if (!date.isValid() || !time.isValid()) {
        // Only a damaged value gets here; show its parts rather than nothing.
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", dt.year, dt.month, dt.day,
                      dt.hour, dt.minute, dt.second);
        return buf;
    }
    const QLocale locale = TextLocale();
    QString text = locale.toString(date, ShortDateFormat(locale));
    if (time != QTime(0, 0)) text += u' ' + locale.toString(time, TimeFormatWithSeconds(locale));
    return text.toStdString();
}

// Exact, with the locale's decimal separator.
std::string MoneyText(engine::Currency value) {
    std::string text = engine::CurrencyText(value);
    const size_t point = text.find('.');
    if (point != std::string::npos)
        text.replace(point, 1, TextLocale().decimalPoint().toStdString());
    return text;
}

std::string BlobText(const engine::Blob& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 0x0F];
    }
    return out;
}

} // namespace

std::string ValueText(const engine::Value& value, const std::string& nullText) {
    struct Visitor {
        const std::string& nullText;
        std::string operator()(const engine::Null&) const { return nullText; }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const { return NumberText(d); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const engine::DateTime& dt) const { return DateText(dt); }
        std::string operator()(const engine::Blob& b) const { return BlobText(b); }
        std::string operator()(engine::Currency c) const { return MoneyText(c); }
    };
    return std::visit(Visitor{nullText}, value);
}

} // namespace store
