#include "printengine/textlayout.h"

#include <QFontDatabase>
#include <QImage>
#include <QTextOption>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

namespace printengine {

namespace {

const QImage& PointDevice() {
    static const QImage image = [] {
        QImage i(1, 1, QImage::Format_RGB32);
        i.setDotsPerMeterX(2835); // 72 dpi
        i.setDotsPerMeterY(2835);
        return i;
    }();
    return image;
}

QString Installed(const QStringList& families, const QString& name) {
    for (const QString& f : families)
        if (f.compare(name, Qt::CaseInsensitive) == 0) return f;
    return QString();
}

// The families that stand in for a font name reports use everywhere.
QStringList Substitutes(const QString& name) {
    const QString n = name.trimmed().toLower();
    if (n == "sansserif" || n == "sans-serif" || n == "dialog" || n == "arial" || n == "helvetica")
        return {"Liberation Sans", "Arimo", "DejaVu Sans"};
    if (n == "serif" || n == "times" || n == "times new roman" || n == "times roman")
        return {"Liberation Serif", "Tinos", "DejaVu Serif"};
    if (n == "monospaced" || n == "monospace" || n == "dialoginput" || n == "courier" ||
        n == "courier new")
        return {"Liberation Mono", "Cousine", "DejaVu Sans Mono"};
    return {};
}

void LogFallback(const QString& name, const QString& used) {
    const std::string line = "norvakel-report: The font \"" + name.toStdString() +
                             "\" is not installed; \"" + used.toStdString() +
                             "\" is drawn instead.\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// From one baseline-carrying line to the next, as JasperReports spaces them:
// the first line of a text always at single spacing.
double ToBaseline(const Paragraph& p, bool firstLine, double leading, double ascent) {
    using S = Paragraph::Spacing;
    const double single = leading + ascent;
    if (firstLine) return single;
    switch (p.lineSpacing) {
    case S::Single:
        return single;
    case S::OneAndHalf:
        return leading + 1.5 * ascent;
    case S::Double:
        return leading + 2.0 * ascent;
    case S::Proportional:
        return leading + p.lineSpacingSize * ascent;
    case S::AtLeast:
        return std::max(single, p.lineSpacingSize);
    case S::Fixed:
        return p.lineSpacingSize;
    }
    return single;
}

// Qt scales tab positions by the font's resolution over the screen's; the
// layout's units are points, so the positions are given in screen units.
double TabUnit() {
    static const double unit = [] {
        TextStyle s;
        QTextLayout probe("\t", TextFont(s), &PointDevice());
        QTextOption option;
        option.setTabStopDistance(100);
        probe.setTextOption(option);
        probe.beginLayout();
        QTextLine line = probe.createLine();
        line.setLineWidth(10000);
        probe.endLayout();
        const double x = line.cursorToX(1);
        return x > 1 ? 100 / x : 1.0;
    }();
    return unit;
}

// The options of a paragraph's lines. Qt counts tab stops from where a line
// starts; a line indented by `shift` gets its stops moved to count from the
// left indent, the default ones written out.
QTextOption Options(const TextStyle& style, double shift = 0, double width = 0) {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    using H = TextStyle::HAlign;
    option.setAlignment(style.hAlign == H::Center      ? Qt::AlignHCenter
                        : style.hAlign == H::Right     ? Qt::AlignRight
                        : style.hAlign == H::Justified ? Qt::AlignJustify
                                                       : Qt::AlignLeft);
    const Paragraph& p = style.paragraph;
    const double unit = TabUnit();
    if (p.tabStopWidth > 0) option.setTabStopDistance(p.tabStopWidth * unit);
    QList<QTextOption::Tab> tabs;
    double last = 0;
    for (const TabStop& t : p.tabStops) {
        const auto type = t.align == TabStop::Align::Center  ? QTextOption::CenterTab
                          : t.align == TabStop::Align::Right ? QTextOption::RightTab
                                                             : QTextOption::LeftTab;
        last = std::max(last, t.position);
        if (t.position > shift) tabs.append(QTextOption::Tab((t.position - shift) * unit, type));
    }
    if (shift != 0 && p.tabStopWidth > 0) {
        for (double at = (std::floor(std::max(last, shift) / p.tabStopWidth) + 1) * p.tabStopWidth;
             at - shift <= width + p.tabStopWidth && tabs.size() < 1000; at += p.tabStopWidth)
            tabs.append(QTextOption::Tab((at - shift) * unit, QTextOption::LeftTab));
    }
    if (!tabs.isEmpty()) option.setTabs(tabs);
    return option;
}

} // namespace

QString FontFamily(const QString& reportName) {
    static std::mutex mutex;
    static std::map<QString, QString> known;
    const std::lock_guard<std::mutex> lock(mutex);
    if (auto it = known.find(reportName); it != known.end()) return it->second;
    const QStringList families = QFontDatabase::families();
    QString used;
    const QStringList substitutes = Substitutes(reportName);
    for (const QString& s : substitutes)
        if (used.isEmpty()) used = Installed(families, s);
    if (substitutes.isEmpty()) used = Installed(families, reportName);
    if (used.isEmpty()) {
        used = Installed(families, "DejaVu Sans");
        if (used.isEmpty()) used = "DejaVu Sans";
        LogFallback(reportName, used);
    }
    known[reportName] = used;
    return used;
}

QFont TextFont(const TextStyle& style, double scale) {
    QFont font(FontFamily(style.fontName));
    font.setPointSizeF(std::max(0.5, style.size * scale));
    font.setBold(style.bold);
    font.setItalic(style.italic);
    font.setUnderline(style.underline);
    font.setStrikeOut(style.strikeThrough);
    // Unhinted advances scale from the layout's 72 dpi to any device.
    font.setHintingPreference(QFont::PreferNoHinting);
    // No ligatures or kerning where the script needs none, as in the reports'
    // own engine; text copied from the PDF then reads "fi", not a ligature.
    font.setStyleStrategy(QFont::PreferNoShaping);
    return QFont(font, &PointDevice());
}

namespace {

// The formats of text[from, to), counted from `from`.
QList<QTextLayout::FormatRange> Slice(const QList<QTextLayout::FormatRange>& formats,
                                      qsizetype from, qsizetype to) {
    QList<QTextLayout::FormatRange> out;
    for (const auto& r : formats) {
        const qsizetype a = std::max<qsizetype>(r.start, from);
        const qsizetype b = std::min<qsizetype>(r.start + r.length, to);
        if (a < b) out.append({int(a - from), int(b - a), r.format});
    }
    return out;
}

// Lays paragraphs' lines one below the other, keeping those that fit.
class LineSetter {
  public:
    LineSetter(const TextStyle& style, const QFont& font, double width, double maxHeight,
               LaidOutText& out)
        : p_(style.paragraph), font_(font),
          width_(std::max(1.0, width - p_.leftIndent - p_.rightIndent)), maxHeight_(maxHeight),
          out_(out) {}

    struct Piece {
        std::unique_ptr<QTextLayout> layout;
        int lines = 0;
        bool cut = false;
        double bottom = 0;
        qsizetype length = 0; // of the text the lines hold
    };

    // Lines of `text` from `top`, the first indented by `indent`, at most
    // `maxLines` (all when negative). A cut piece is laid out again up to its
    // last fitting line, since a layout draws every line it created.
    Piece Lay(const QString& text, const QList<QTextLayout::FormatRange>& formats,
              const QTextOption& option, double indent, double top, int maxLines) {
        constexpr double Slack = 0.01; // rounding in the font's metrics
        Piece piece;
        piece.layout = std::make_unique<QTextLayout>(text, font_, &PointDevice());
        piece.layout->setFormats(formats);
        piece.layout->setTextOption(option);
        int fitting = -1;
        for (int pass = 0; pass < 2; ++pass) {
            double lineTop = top;
            int count = 0;
            piece.layout->clearLayout();
            piece.layout->beginLayout();
            while ((fitting < 0 || count < fitting) && (maxLines < 0 || count < maxLines)) {
                QTextLine line = piece.layout->createLine();
                if (!line.isValid()) break;
                const double in = count == 0 ? indent : 0;
                line.setLineWidth(std::max(1.0, width_ - in));
                const double baseline = lineTop + ToBaseline(p_, out_.lines + count == 0,
                                                             line.leading(), line.ascent());
                const double bottom = baseline + line.descent();
                if (bottom > maxHeight_ + Slack) {
                    fitting = count;
                    break;
                }
                line.setPosition(QPointF(in, baseline - line.ascent()));
                lineTop = bottom;
                piece.length = line.textStart() + line.textLength();
                ++count;
            }
            piece.layout->endLayout();
            piece.lines = count;
            piece.bottom = lineTop;
            if (fitting < 0) break;
            piece.cut = true;
        }
        return piece;
    }

    const Paragraph& p_;
    const QFont& font_;
    const double width_, maxHeight_;
    LaidOutText& out_;
};

} // namespace

LaidOutText LayOutText(const TextStyle& style, const QString& text, double width, double maxHeight,
                       double fontScale) {
    LaidOutText out;
    StyledText styled = ParseMarkup(text, style.markup);
    if (fontScale != 1.0)
        for (auto& r : styled.formats)
            if (r.format.hasProperty(QTextFormat::FontPointSize))
                r.format.setFontPointSize(r.format.fontPointSize() * fontScale);
    const QFont font = TextFont(style, fontScale);
    const Paragraph& p = style.paragraph;
    LineSetter setter(style, font, width, maxHeight, out);
    const QTextOption option = Options(style);
    // Qt counts tab stops from where a line starts and draws a layout's lines
    // with one set of stops: an indented first line with tabs is a layout of
    // its own, with its stops moved.
    const QTextOption firstLine =
        p.firstLineIndent != 0 ? Options(style, p.firstLineIndent, setter.width_) : option;
    double y = 0;
    qsizetype start = 0;
    while (start <= styled.text.size() && out.complete) {
        qsizetype end = styled.text.indexOf('\n', start);
        if (end < 0) end = styled.text.size();
        const QString paragraph = styled.text.mid(start, end - start);
        const auto formats = Slice(styled.formats, start, end);
        const bool split = p.firstLineIndent != 0 && paragraph.contains('\t');
        auto first = setter.Lay(paragraph, formats, split ? firstLine : option, p.firstLineIndent,
                                y + p.spacingBefore, split ? 1 : -1);
        out.lines += first.lines;
        int lines = first.lines;
        double bottom = first.bottom;
        bool cut = first.cut;
        if (first.lines > 0) out.paragraphs.push_back(std::move(first.layout));
        if (split && !cut && first.length < paragraph.size()) {
            auto rest =
                setter.Lay(paragraph.mid(first.length),
                           Slice(formats, first.length, paragraph.size()), option, 0, bottom, -1);
            out.lines += rest.lines;
            lines += rest.lines;
            if (rest.lines > 0) {
                bottom = rest.bottom;
                out.paragraphs.push_back(std::move(rest.layout));
            }
            cut = rest.cut;
        }
        if (cut) {
            out.complete = false;
            if (lines > 0) y = bottom;
        } else {
            y = bottom + p.spacingAfter;
        }
        start = end + 1;
    }
    out.height = y;
    return out;
}

double TextBlockHeight(const TextStyle& style, const QString& text, double width) {
    return LayOutText(style, text, width, 1e9).height;
}

double FittingScale(const TextStyle& style, const QString& text, QSizeF box) {
    if (LayOutText(style, text, box.width(), box.height()).complete) return 1.0;
    // The largest scale that fits, to within a fiftieth of a point.
    double low = std::min(1.0, 1.0 / std::max(1.0, style.size)), high = 1.0;
    for (int step = 0; step < 12 && (high - low) * style.size > 0.02; ++step) {
        const double mid = (low + high) / 2;
        if (LayOutText(style, text, box.width(), box.height(), mid).complete)
            low = mid;
        else
            high = mid;
    }
    return low;
}

void DrawTextBox(QPainter& painter, const TextStyle& style, const QString& text, const QRectF& box,
                 bool scaleFont) {
    if (box.width() <= 0 || box.height() <= 0) return;
    const double scale = scaleFont ? FittingScale(style, text, box.size()) : 1.0;
    const LaidOutText laid = LayOutText(style, text, box.width(), box.height(), scale);
    double top = box.top();
    if (style.vAlign == TextStyle::VAlign::Middle) top += (box.height() - laid.height) / 2;
    if (style.vAlign == TextStyle::VAlign::Bottom) top += box.height() - laid.height;
    for (const auto& layout : laid.paragraphs)
        layout->draw(&painter, QPointF(box.left() + style.paragraph.leftIndent, top));
}

} // namespace printengine
