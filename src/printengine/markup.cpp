#include "printengine/markup.h"

#include "printengine/textlayout.h"

#include <QFontDatabase>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <algorithm>
#include <functional>
#include <map>

namespace printengine {

namespace {

// Java's named colours, as JasperReports reads styled text; HTML uses CSS's.
QColor MarkupColor(const QString& text, bool java) {
    static const std::pair<const char*, QRgb> names[] = {
        {"black", 0x000000},  {"blue", 0x0000FF},  {"cyan", 0x00FFFF},      {"darkGray", 0x404040},
        {"gray", 0x808080},   {"green", 0x00FF00}, {"lightGray", 0xC0C0C0}, {"magenta", 0xFF00FF},
        {"orange", 0xFFC800}, {"pink", 0xFFAFAF},  {"red", 0xFF0000},       {"white", 0xFFFFFF},
        {"yellow", 0xFFFF00},
    };
    const QString t = text.trimmed();
    if (java)
        for (const auto& [name, rgb] : names)
            if (t.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) return QColor(rgb);
    QColor c(t);
    if (!c.isValid() && t.size() == 6) c = QColor("#" + t);
    return c;
}

// Text and formats as they are read: each piece takes the format on top.
struct Runs {
    StyledText out;
    std::vector<std::pair<QString, QTextCharFormat>> stack{{QString(), QTextCharFormat()}};

    void Add(const QString& s) { Add(s, stack.back().second); }
    void Add(const QString& s, const QTextCharFormat& f) {
        if (s.isEmpty()) return;
        const int at = int(out.text.size());
        if (!out.formats.isEmpty() && out.formats.back().start + out.formats.back().length == at &&
            out.formats.back().format == f)
            out.formats.back().length += int(s.size());
        else if (!f.properties().isEmpty())
            out.formats.push_back({at, int(s.size()), f});
        out.text += s;
    }
    void Push(const QString& tag, const QTextCharFormat& f) { stack.emplace_back(tag, f); }
    void Pop(const QString& tag) {
        for (size_t i = stack.size(); i-- > 1;)
            if (stack[i].first == tag) {
                stack.resize(i);
                return;
            }
    }
    void StartLine() {
        if (!out.text.isEmpty() && !out.text.endsWith('\n')) Add("\n");
    }
};

double HtmlFontSize(const QString& v, double current) {
    static const double sizes[] = {8, 10, 12, 14, 18, 24, 36};
    bool ok = false;
    const int n = v.trimmed().toInt(&ok);
    if (!ok) return current;
    const int index = v.trimmed().startsWith('+') || v.trimmed().startsWith('-') ? 3 + n : n;
    return sizes[std::clamp(index, 1, 7) - 1];
}

// The format a tag sets over `f`; false when the tag sets nothing.
bool TagFormat(const QString& tag, const std::function<QString(const char*)>& attr, bool html,
               QTextCharFormat& f) {
    if (tag == "b" || tag == "strong") {
        f.setFontWeight(QFont::Bold);
    } else if (tag == "i" || tag == "em") {
        f.setFontItalic(true);
    } else if (tag == "u") {
        f.setFontUnderline(true);
    } else if (tag == "s" || tag == "strike") {
        f.setFontStrikeOut(true);
    } else if (tag == "sup") {
        f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    } else if (tag == "sub") {
        f.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    } else if (tag == "font") {
        if (const QString face = attr("face"); !face.isEmpty()) {
            QString family = face.split(',').first().trimmed();
            for (const QString& one : face.split(','))
                if (QFontDatabase::families().contains(one.trimmed(), Qt::CaseInsensitive)) {
                    family = one.trimmed();
                    break;
                }
            f.setFontFamilies({FontFamily(family)});
        }
        if (const QString size = attr("size"); !size.isEmpty()) {
            bool ok = false;
            const double points = size.toDouble(&ok);
            if (html)
                f.setFontPointSize(HtmlFontSize(size, 12));
            else if (ok && points > 0 && points < 1000)
                f.setFontPointSize(points);
        }
        if (const QColor c = MarkupColor(attr("color"), !html); c.isValid()) f.setForeground(c);
    } else if (tag == "style" && !html) {
        if (const QString v = attr("fontName"); !v.isEmpty()) f.setFontFamilies({FontFamily(v)});
        bool ok = false;
        if (const double size = attr("size").toDouble(&ok); ok && size > 0 && size < 1000)
            f.setFontPointSize(size);
        const auto flag = [&](const char* name, auto set) {
            const QString v = attr(name);
            if (v == "true" || v == "false") set(v == "true");
        };
        flag("isBold", [&](bool on) { f.setFontWeight(on ? QFont::Bold : QFont::Normal); });
        flag("isItalic", [&](bool on) { f.setFontItalic(on); });
        flag("isUnderline", [&](bool on) { f.setFontUnderline(on); });
        flag("isStrikeThrough", [&](bool on) { f.setFontStrikeOut(on); });
        if (const QColor c = MarkupColor(attr("forecolor"), true); c.isValid()) f.setForeground(c);
        if (const QColor c = MarkupColor(attr("backcolor"), true); c.isValid()) f.setBackground(c);
    } else {
        return false;
    }
    return true;
}

// JasperReports' styled text: XML with <style> and a few HTML tags. Text
// that is not well-formed shows as written.
StyledText ParseStyled(const QString& text) {
    QXmlStreamReader xml("<st>" + text + "</st>");
    Runs runs;
    int depth = 0;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (++depth > 64) return StyledText{text, {}};
            const QString tag = xml.name().toString().toLower();
            const auto attributes = xml.attributes();
            const auto attr = [&](const char* name) {
                for (const auto& a : attributes)
                    if (a.name().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                        return a.value().toString();
                return QString();
            };
            QTextCharFormat f = runs.stack.back().second;
            if (tag == "br") {
                runs.Add("\n");
            } else if (tag == "li") {
                runs.StartLine();
                runs.Add(QString::fromUtf8("\u2022 "));
            }
            TagFormat(tag, attr, false, f);
            runs.Push(tag, f);
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
            runs.Pop(xml.name().toString().toLower());
        } else if (token == QXmlStreamReader::Characters) {
            runs.Add(xml.text().toString());
        }
    }
    if (xml.hasError()) return StyledText{text, {}};
    return std::move(runs.out);
}

QString HtmlEntity(const QString& name) {
    if (name.startsWith("#x") || name.startsWith("#X")) {
        bool ok = false;
        const uint code = name.mid(2).toUInt(&ok, 16);
        const char32_t c = code;
        if (ok && code > 0 && code < 0x110000) return QString::fromUcs4(&c, 1);
        return QString();
    }
    if (name.startsWith('#')) {
        bool ok = false;
        const uint code = name.mid(1).toUInt(&ok);
        const char32_t c = code;
        if (ok && code > 0 && code < 0x110000) return QString::fromUcs4(&c, 1);
        return QString();
    }
    static const std::pair<const char*, const char*> named[] = {
        {"lt", "<"},        {"gt", ">"},        {"amp", "&"},        {"quot", "\""},
        {"apos", "'"},      {"nbsp", "\u00a0"}, {"copy", "\u00a9"},  {"reg", "\u00ae"},
        {"euro", "\u20ac"}, {"bull", "\u2022"}, {"mdash", "\u2014"}, {"ndash", "\u2013"},
    };
    for (const auto& [n, v] : named)
        if (name == QLatin1String(n)) return QString::fromUtf8(v);
    return QString();
}

// HTML as a browser reads it, tolerantly: runs of white space are one
// space, block tags start lines, unknown tags keep their text.
StyledText ParseHtml(const QString& text) {
    static const QRegularExpression attributeRe(
        R"re(([A-Za-z_:][-A-Za-z0-9_:.]*)\s*=\s*("[^"]*"|'[^']*'|[^\s"'>]+))re");
    Runs runs;
    int skipping = 0; // inside <head>, <style> or <script>
    bool space = false;
    QTextCharFormat spaceFormat; // where the white space was
    const auto addText = [&](const QString& s) {
        if (skipping > 0) return;
        for (const QChar c : s) {
            if (c.isSpace() && c != QChar(0xa0)) {
                if (!space) spaceFormat = runs.stack.back().second;
                space = true;
                continue;
            }
            if (space && !runs.out.text.isEmpty() && !runs.out.text.endsWith('\n'))
                runs.Add(" ", spaceFormat);
            space = false;
            runs.Add(QString(c));
        }
    };
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == '&') {
            const qsizetype end = text.indexOf(';', i);
            if (end > i && end - i <= 10) {
                const QString value = HtmlEntity(text.mid(i + 1, end - i - 1));
                if (!value.isEmpty()) {
                    if (value == QString(QChar(0xa0))) {
                        if (space && !runs.out.text.endsWith('\n')) runs.Add(" ");
                        space = false;
                        runs.Add(value);
                    } else {
                        addText(value);
                    }
                    i = end + 1;
                    continue;
                }
            }
            addText("&");
            ++i;
            continue;
        }
        if (c != '<') {
            const qsizetype next =
                std::min(text.indexOf('<', i) < 0 ? text.size() : text.indexOf('<', i),
                         text.indexOf('&', i) < 0 ? text.size() : text.indexOf('&', i));
            addText(text.mid(i, next - i));
            i = next;
            continue;
        }
        if (text.mid(i, 4) == "<!--") {
            const qsizetype end = text.indexOf("-->", i + 4);
            i = end < 0 ? text.size() : end + 3;
            continue;
        }
        const qsizetype end = text.indexOf('>', i);
        if (end < 0) {
            addText(text.mid(i));
            break;
        }
        QString inside = text.mid(i + 1, end - i - 1).trimmed();
        i = end + 1;
        if (inside.startsWith('!') || inside.startsWith('?')) continue;
        const bool closing = inside.startsWith('/');
        if (closing) inside = inside.mid(1);
        if (inside.endsWith('/')) inside.chop(1);
        qsizetype n = 0;
        while (n < inside.size() && (inside[n].isLetterOrNumber()))
            ++n;
        const QString tag = inside.left(n).toLower();
        if (tag.isEmpty()) {
            addText("<" + inside + ">");
            continue;
        }
        const bool block = tag == "p" || tag == "div" || tag == "ul" || tag == "ol" ||
                           (tag.size() == 2 && tag[0] == 'h' && tag[1].isDigit());
        const bool hidden = tag == "head" || tag == "style" || tag == "script" || tag == "title";
        if (closing) {
            if (hidden) skipping = std::max(0, skipping - 1);
            if (block) {
                runs.StartLine();
                space = false;
            }
            runs.Pop(tag);
            continue;
        }
        if (hidden) {
            ++skipping;
            continue;
        }
        std::vector<std::pair<QString, QString>> attributes;
        for (auto it = attributeRe.globalMatch(inside.mid(n)); it.hasNext();) {
            const auto m = it.next();
            QString v = m.captured(2);
            if (v.startsWith('"') || v.startsWith('\'')) v = v.mid(1, v.size() - 2);
            attributes.emplace_back(m.captured(1).toLower(), v);
        }
        const auto attr = [&](const char* name) {
            for (const auto& [k, v] : attributes)
                if (k == QLatin1String(name)) return v;
            return QString();
        };
        if (tag == "br") {
            runs.Add("\n");
            space = false;
            continue;
        }
        if (block) {
            runs.StartLine();
            space = false;
        }
        if (tag == "li") {
            runs.StartLine();
            runs.Add(QString::fromUtf8("\u2022 "));
            space = false;
        }
        QTextCharFormat f = runs.stack.back().second;
        if (tag == "h1" || tag == "h2" || tag == "h3") f.setFontWeight(QFont::Bold);
        TagFormat(tag, attr, true, f);
        if (tag != "img" && tag != "hr" && tag != "meta" && tag != "link" && runs.stack.size() < 64)
            runs.Push(tag, f);
    }
    while (runs.out.text.endsWith('\n') || runs.out.text.endsWith(' '))
        runs.out.text.chop(1);
    for (auto& r : runs.out.formats)
        r.length = std::max(0, std::min(r.length, int(runs.out.text.size()) - r.start));
    return std::move(runs.out);
}

// A byte of the document's code page, Windows-1252 (what RTF writers use).
QChar Cp1252(int byte) {
    static const char16_t high[32] = {
        0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    return byte >= 0x80 && byte < 0xA0 ? QChar(high[byte - 0x80]) : QChar(byte);
}

// RTF as word processors write it: groups, character formatting (bold,
// italic, underline, strike-through, size, font, colour, super- and
// subscript), paragraphs, tabs, Unicode and code page characters. Pictures,
// headers, footers and other destinations are skipped.
StyledText ParseRtf(const QString& text) {
    enum class Dest { Text, Skip, Fonts, Colors };
    struct State {
        QTextCharFormat format;
        Dest dest = Dest::Text;
        int unicodeSkip = 1;
    };
    std::vector<State> states(1);
    std::vector<QColor> colors;
    std::map<int, QString> fonts;
    int fontIndex = -1;
    QColor color;
    Runs runs;
    int pendingSkip = 0; // characters after a \uN that stand in for it
    const auto add = [&](const QString& s) {
        if (states.back().dest != Dest::Text) return;
        if (pendingSkip > 0) {
            --pendingSkip;
            return;
        }
        runs.Add(s, states.back().format);
    };
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == '{') {
            if (states.size() > 64) return StyledText{text, {}};
            states.push_back(states.back());
            ++i;
            continue;
        }
        if (c == '}') {
            if (states.size() > 1) states.pop_back();
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (c != '\\') {
            const Dest dest = states.back().dest;
            if (dest == Dest::Fonts && c == ';') {
                fontIndex = -1;
            } else if (dest == Dest::Fonts && fontIndex >= 0 && fonts[fontIndex].size() < 100) {
                fonts[fontIndex] += c;
            } else if (dest == Dest::Colors && c == ';' && colors.size() < 1000) {
                colors.push_back(color);
                color = QColor();
            } else {
                add(QString(c));
            }
            ++i;
            continue;
        }
        // A control word or symbol.
        ++i;
        if (i >= text.size()) break;
        const QChar s = text[i];
        if (!s.isLetter()) {
            ++i;
            if (s == '\'' && i + 1 < text.size()) {
                bool ok = false;
                const int byte = text.mid(i, 2).toInt(&ok, 16);
                i += 2;
                if (ok) add(QString(Cp1252(byte)));
            } else if (s == '*') {
                states.back().dest = Dest::Skip;
            } else if (s == '~') {
                add(QString(QChar(0xA0)));
            } else if (s == '\\' || s == '{' || s == '}') {
                add(QString(s));
            }
            continue;
        }
        qsizetype n = i;
        while (n < text.size() && text[n].isLetter() && n - i < 32)
            ++n;
        const QString word = text.mid(i, n - i);
        qsizetype m = n;
        if (m < text.size() && text[m] == '-') ++m;
        while (m < text.size() && text[m].isDigit() && m - n < 10)
            ++m;
        bool hasValue = false;
        const int value = text.mid(n, m - n).toInt(&hasValue);
        i = m;
        if (i < text.size() && text[i] == ' ') ++i;
        State& st = states.back();
        QTextCharFormat& f = st.format;
        const bool on = !hasValue || value != 0;
        if (word == "fonttbl") {
            st.dest = Dest::Fonts;
        } else if (word == "colortbl") {
            st.dest = Dest::Colors;
        } else if (word == "stylesheet" || word == "info" || word == "pict" || word == "header" ||
                   word == "footer" || word == "object" || word == "headerl" || word == "headerr" ||
                   word == "footerl" || word == "footerr") {
            st.dest = Dest::Skip;
        } else if (st.dest == Dest::Fonts && word == "f") {
            fontIndex = value;
            fonts[value].clear();
        } else if (st.dest == Dest::Colors &&
                   (word == "red" || word == "green" || word == "blue")) {
            if (!color.isValid()) color = QColor(0, 0, 0);
            if (word == "red") color.setRed(std::clamp(value, 0, 255));
            if (word == "green") color.setGreen(std::clamp(value, 0, 255));
            if (word == "blue") color.setBlue(std::clamp(value, 0, 255));
        } else if (word == "par" || word == "line") {
            add("\n");
        } else if (word == "tab") {
            add("\t");
        } else if (word == "u" && hasValue) {
            const char32_t code = char32_t(value < 0 ? value + 65536 : value);
            add(QString::fromUcs4(&code, 1));
            if (st.dest == Dest::Text) pendingSkip = st.unicodeSkip;
        } else if (word == "uc" && hasValue) {
            st.unicodeSkip = std::clamp(value, 0, 8);
        } else if (word == "b") {
            f.setFontWeight(on ? QFont::Bold : QFont::Normal);
        } else if (word == "i") {
            f.setFontItalic(on);
        } else if (word == "ul") {
            f.setFontUnderline(on);
        } else if (word == "ulnone") {
            f.setFontUnderline(false);
        } else if (word == "strike") {
            f.setFontStrikeOut(on);
        } else if (word == "fs" && hasValue && value > 0 && value < 2000) {
            f.setFontPointSize(value / 2.0);
        } else if (word == "f" && hasValue) {
            if (auto it = fonts.find(value); it != fonts.end() && !it->second.trimmed().isEmpty())
                f.setFontFamilies({FontFamily(it->second.trimmed())});
        } else if (word == "cf" && hasValue) {
            if (value > 0 && size_t(value) < colors.size() && colors[size_t(value)].isValid())
                f.setForeground(colors[size_t(value)]);
            else
                f.clearForeground();
        } else if ((word == "highlight" || word == "cb") && hasValue) {
            if (value > 0 && size_t(value) < colors.size() && colors[size_t(value)].isValid())
                f.setBackground(colors[size_t(value)]);
            else
                f.clearBackground();
        } else if (word == "super") {
            f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
        } else if (word == "sub") {
            f.setVerticalAlignment(QTextCharFormat::AlignSubScript);
        } else if (word == "nosupersub") {
            f.setVerticalAlignment(QTextCharFormat::AlignNormal);
        } else if (word == "plain") {
            f = QTextCharFormat();
        }
    }
    while (runs.out.text.endsWith('\n'))
        runs.out.text.chop(1);
    for (auto& r : runs.out.formats)
        r.length = std::max(0, std::min(r.length, int(runs.out.text.size()) - r.start));
    return std::move(runs.out);
}

} // namespace

StyledText ParseMarkup(const QString& text, Markup markup) {
    if (markup == Markup::Styled) return ParseStyled(text);
    if (markup == Markup::Html) return ParseHtml(text);
    if (markup == Markup::Rtf) return ParseRtf(text);
    return StyledText{text, {}};
}

} // namespace printengine
