#include "printengine/paint.h"

#include "printengine/chart.h"
#include "printengine/textlayout.h"

#include <cmath>

namespace printengine {

namespace {

QPen ElementPen(const Element& e) {
    if (e.penWidth <= 0) return Qt::NoPen;
    QPen pen(e.penColor.value_or(e.foreColor));
    pen.setWidthF(e.penStyle == DoublePenStyle ? e.penWidth / 3 : e.penWidth);
    pen.setStyle(e.penStyle == DoublePenStyle ? Qt::SolidLine : e.penStyle);
    pen.setCapStyle(Qt::FlatCap);
    return pen;
}

// A line; a double one as two lines a third of its width wide, a third
// apart on either side of where the single line would be.
void DrawLine(QPainter& painter, QPointF from, QPointF to, double width, bool twice) {
    if (!twice) {
        painter.drawLine(from, to);
        return;
    }
    const QPointF along = to - from;
    const double length = std::hypot(along.x(), along.y());
    if (length <= 0) return;
    const QPointF side(-along.y() / length * width / 3, along.x() / length * width / 3);
    painter.drawLine(from + side, to + side);
    painter.drawLine(from - side, to - side);
}

void DrawBorder(QPainter& painter, const BoxPen& pen, const QColor& fallback, QPointF from,
                QPointF to) {
    if (pen.width <= 0) return;
    const bool twice = pen.style == DoublePenStyle;
    QPen p(pen.color.value_or(fallback));
    p.setWidthF(twice ? pen.width / 3 : pen.width);
    p.setStyle(twice ? Qt::SolidLine : pen.style);
    p.setCapStyle(Qt::SquareCap);
    painter.setPen(p);
    DrawLine(painter, from, to, pen.width, twice);
}

void DrawBorders(QPainter& painter, const Element& e, const QRectF& r) {
    const Box& b = e.box;
    DrawBorder(painter, b.topPen, e.foreColor, r.topLeft(), r.topRight());
    DrawBorder(painter, b.bottomPen, e.foreColor, r.bottomLeft(), r.bottomRight());
    DrawBorder(painter, b.leftPen, e.foreColor, r.topLeft(), r.bottomLeft());
    DrawBorder(painter, b.rightPen, e.foreColor, r.topRight(), r.bottomRight());
}

// The image's own size in points: its resolution when it has one, else 72 dpi.
QSizeF NaturalSize(const QImage& image) {
    const double dpiX = image.dotsPerMeterX() > 0 ? image.dotsPerMeterX() * 0.0254 : 72.0;
    const double dpiY = image.dotsPerMeterY() > 0 ? image.dotsPerMeterY() * 0.0254 : 72.0;
    return QSizeF(image.width() * 72.0 / dpiX, image.height() * 72.0 / dpiY);
}

void DrawImage(QPainter& painter, const Element& e, const PageItem& item) {
    const QRectF inner = item.rect.adjusted(e.box.left, e.box.top, -e.box.right, -e.box.bottom);
    if (inner.width() <= 0 || inner.height() <= 0) return;
    // An SVG drawing's size is in CSS pixels, 96 to the inch.
    QSizeF size =
        item.drawing ? QSizeF(item.drawing->defaultSize()) * 0.75 : NaturalSize(item.image);
    if (e.scale == ImageScale::FillFrame) {
        size = inner.size();
    } else if (e.scale == ImageScale::RetainShape && size.width() > 0 && size.height() > 0) {
        size.scale(inner.size(), Qt::KeepAspectRatio);
    }
    double x = inner.left(), y = inner.top();
    if (e.imageHAlign == TextStyle::HAlign::Center) x += (inner.width() - size.width()) / 2;
    if (e.imageHAlign == TextStyle::HAlign::Right) x += inner.width() - size.width();
    if (e.imageVAlign == TextStyle::VAlign::Middle) y += (inner.height() - size.height()) / 2;
    if (e.imageVAlign == TextStyle::VAlign::Bottom) y += inner.height() - size.height();
    painter.save();
    painter.setClipRect(inner, Qt::IntersectClip);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (item.drawing)
        item.drawing->render(&painter, QRectF(QPointF(x, y), size));
    else
        painter.drawImage(QRectF(QPointF(x, y), size), item.image);
    painter.restore();
}

// The text inside the box's padding, turned as the element says: the box
// turns with it, so a quarter turn swaps its width and height.
void DrawText(QPainter& painter, const Element& e, const PageItem& item) {
    const QRectF inner = item.rect.adjusted(e.box.left, e.box.top, -e.box.right, -e.box.bottom);
    using R = TextStyle::Rotation;
    if (e.style.rotation == R::None) {
        DrawTextBox(painter, e.style, item.text, inner, e.scaleFont);
        return;
    }
    const bool quarter = e.style.rotation != R::UpsideDown;
    const QSizeF size = quarter ? inner.size().transposed() : inner.size();
    painter.save();
    painter.translate(inner.center());
    painter.rotate(e.style.rotation == R::Left ? -90 : e.style.rotation == R::Right ? 90 : 180);
    DrawTextBox(painter, e.style, item.text,
                QRectF(QPointF(-size.width() / 2, -size.height() / 2), size), e.scaleFont);
    painter.restore();
}

} // namespace

void PaintPage(QPainter& painter, const Page& page) {
    // Chart fonts are resolved at the device's resolution and then scaled by
    // the painter again; this factor undoes the second scaling.
    const double deviceScale = painter.worldTransform().m22();
    const double sizeFactor = deviceScale > 0 ? 1.0 / deviceScale : 1.0;
    for (const PageItem& item : page.items) {
        const Element& e = *item.element;
        switch (e.kind) {
        case ElementKind::StaticText:
        case ElementKind::TextField: {
            if (e.opaque) painter.fillRect(item.rect, e.backColor);
            DrawBorders(painter, e, item.rect);
            if (item.text.isEmpty()) break;
            painter.setPen(e.foreColor);
            DrawText(painter, e, item);
            break;
        }
        case ElementKind::Line: {
            painter.setPen(ElementPen(e));
            const QRectF& r = item.rect;
            const bool twice = e.penStyle == DoublePenStyle;
            if (r.height() <= 1.0)
                DrawLine(painter, QPointF(r.left(), r.top()), QPointF(r.right(), r.top()),
                         e.penWidth, twice);
            else if (r.width() <= 1.0)
                DrawLine(painter, QPointF(r.left(), r.top()), QPointF(r.left(), r.bottom()),
                         e.penWidth, twice);
            else if (e.bottomUp)
                DrawLine(painter, r.bottomLeft(), r.topRight(), e.penWidth, twice);
            else
                DrawLine(painter, r.topLeft(), r.bottomRight(), e.penWidth, twice);
            break;
        }
        case ElementKind::Image:
            if (e.opaque) painter.fillRect(item.rect, e.backColor);
            if (!item.image.isNull() || item.drawing) DrawImage(painter, e, item);
            DrawBorders(painter, e, item.rect);
            break;
        case ElementKind::Chart:
            if (item.chart) PaintChart(painter, e, *item.chart, item.rect, sizeFactor);
            DrawBorders(painter, e, item.rect);
            break;
        case ElementKind::Subreport: // its contents are items of their own
            break;
        case ElementKind::Frame:
            if (e.opaque) painter.fillRect(item.rect, e.backColor);
            DrawBorders(painter, e, item.rect);
            break;
        case ElementKind::Ellipse:
            painter.setPen(ElementPen(e));
            painter.setBrush(e.opaque ? QBrush(e.backColor) : QBrush(Qt::NoBrush));
            painter.drawEllipse(item.rect);
            painter.setBrush(Qt::NoBrush);
            break;
        case ElementKind::Rectangle:
            painter.setPen(ElementPen(e));
            painter.setBrush(e.opaque ? QBrush(e.backColor) : QBrush(Qt::NoBrush));
            if (e.radius > 0)
                painter.drawRoundedRect(item.rect, e.radius, e.radius);
            else
                painter.drawRect(item.rect);
            if (e.penStyle == DoublePenStyle && e.penWidth > 0) {
                // The fill stays inside the outer line; the inner one is drawn over it.
                const double in = e.penWidth * 2 / 3;
                painter.setBrush(Qt::NoBrush);
                painter.drawRect(item.rect.adjusted(in, in, -in, -in));
            }
            painter.setBrush(Qt::NoBrush);
            break;
        case ElementKind::Crosstab: // its cells are items of their own
            break;
        }
    }
}

} // namespace printengine
