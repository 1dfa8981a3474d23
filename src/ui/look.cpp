#include "ui/look.h"

#include "ui/twips.h"

#include <QEvent>
#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTimer>

namespace ui {

namespace {

// The classic 16-colour palette entries the small icon uses.
const QColor kBlack{0, 0, 0};
const QColor kWhite{255, 255, 255};
const QColor kNavy{0, 0, 128};
const QColor kGray{128, 128, 128};
const QColor kSilver{192, 192, 192};
const QColor kGreen{0, 128, 0};
const QColor kLime{0, 255, 0};

// The arrow that brings data into the table, in the icon's 32-unit design grid.
QPolygonF ArrowShape() {
    return QPolygonF({QPointF(31, 16), QPointF(23, 16), QPointF(23, 11), QPointF(15, 19),
                      QPointF(23, 27), QPointF(23, 22), QPointF(31, 22)});
}

void DrawTable(QPainter& p, IconColors colors) {
    const QRectF body(1, 4, 22, 25);
    const QRectF heading(1, 4, 22, 6);
    const bool rich = colors == IconColors::Rich;

    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawRect(body);
    if (rich) {
        // Alternate rows shaded, as a grid shows them.
        p.setBrush(QColor(226, 234, 246));
        p.drawRect(QRectF(1, 15, 22, 5));
        p.drawRect(QRectF(1, 25, 22, 4));
        QLinearGradient shade(heading.topLeft(), heading.bottomLeft());
        shade.setColorAt(0, QColor(70, 110, 200));
        shade.setColorAt(1, QColor(20, 40, 130));
        p.setBrush(shade);
    } else {
        p.setBrush(kNavy);
    }
    p.drawRect(heading);

    // Anti-aliased one-pixel lines are crisp only through pixel centres.
    const double c = rich ? 0.5 : 0.0;
    QPen lines(rich ? QColor(150, 160, 180) : kGray, 0);
    p.setPen(lines);
    for (double y : {15.0, 20.0, 25.0})
        p.drawLine(QPointF(2, y + c), QPointF(22, y + c));
    for (double x : {8.0, 15.0})
        p.drawLine(QPointF(x + c, 10), QPointF(x + c, 28));
    p.setPen(QPen(rich ? kSilver : kWhite, 0));
    for (double x : {8.0, 15.0})
        p.drawLine(QPointF(x + c, 5), QPointF(x + c, 9));

    p.setPen(QPen(kBlack, 0));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rich ? body.adjusted(c, c, -c, -c) : body);
}

void DrawArrow(QPainter& p, IconColors colors) {
    const QPolygonF arrow = ArrowShape();
    if (colors == IconColors::Rich) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 70));
        p.drawPolygon(arrow.translated(1, 1));
        QLinearGradient shade(QPointF(0, 11), QPointF(0, 27));
        shade.setColorAt(0, QColor(120, 220, 90));
        shade.setColorAt(1, QColor(20, 120, 20));
        p.setBrush(shade);
        p.setPen(QPen(QColor(10, 70, 10), 0));
    } else {
        p.setBrush(kLime);
        p.setPen(QPen(kGreen, 0));
    }
    p.drawPolygon(arrow);
}

} // namespace

QFont ClassicFont(double points) {
    static const QString family = [] {
        const QString classic = QStringLiteral("MS Sans Serif");
        if (QFontDatabase::hasFamily(classic)) return classic;
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    return font;
}

QLabel* MakePanel(QWidget* parent, const char* name, const QRect& rect, const QColor& back,
                  PanelBevel bevel, Qt::Alignment alignment) {
    auto* panel = new QLabel(parent);
    panel->setObjectName(QString::fromLatin1(name));
    panel->setGeometry(rect);
    // Texts shown here come from files and scripts: never interpret them as markup.
    panel->setTextFormat(Qt::PlainText);
    panel->setAlignment(alignment);
    if (alignment & Qt::AlignLeft) panel->setIndent(TwipsToPixels(60));
    panel->setFont(ClassicFont(8.25));
    switch (bevel) {
    case PanelBevel::None:
        panel->setFrameStyle(QFrame::NoFrame);
        break;
    case PanelBevel::Raised:
        panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
        break;
    case PanelBevel::Inset:
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        break;
    }
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, back);
    palette.setColor(QPalette::WindowText, palette.color(QPalette::ButtonText));
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);
    return panel;
}

QLabel* MakePictureBox(QWidget* parent, const char* name, const QRect& rect) {
    auto* box = new QLabel(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(rect);
    box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    box->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    box->setPixmap(QPixmap::fromImage(DrawAppIcon(32, IconColors::Rich)));
    return box;
}

QLabel* MakeVersionPanel(QWidget* parent, const QRect& rect, int innerTop) {
    // SSPanel2 and Picture1 are the names the windows were first designed
    // with: tests find the controls by them, and the panel has always shown
    // its name as its caption.
    auto* panel =
        MakePanel(parent, "SSPanel2", rect, PanelBackColor, PanelBevel::Raised, Qt::AlignCenter);
    panel->setText(QStringLiteral("SSPanel2"));
    MakePictureBox(panel, "Picture1", TwipsToRect(180, innerTop, 540, 540));
    return MakePanel(panel, "VersionLabel", TwipsToRect(840, innerTop, 4155, 495), PanelBackColor,
                     PanelBevel::None, Qt::AlignCenter);
}

QImage DrawAppIcon(int size, IconColors colors) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, colors == IconColors::Rich);
    p.scale(size / 32.0, size / 32.0);
    DrawTable(p, colors);
    DrawArrow(p, colors);
    p.end();
    return image;
}

QIcon WindowIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(DrawAppIcon(32, IconColors::Sixteen)));
    icon.addPixmap(QPixmap::fromImage(DrawAppIcon(16, IconColors::Sixteen)));
    return icon;
}

QIcon ApplicationIcon() {
    return QIcon(QPixmap::fromImage(DrawAppIcon(32, IconColors::Rich)));
}

} // namespace ui

namespace ui {

namespace {

class FirstPaintWatch : public QObject {
  public:
    FirstPaintWatch(QWidget* widget, std::function<void()> action)
        : QObject(widget), action_(std::move(action)) {
        widget->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !fired_) {
            fired_ = true;
            watched->removeEventFilter(this);
            // Deferred, so that the paint finishes (and reaches the screen) first.
            QTimer::singleShot(0, this, [this] {
                auto action = std::move(action_);
                deleteLater();
                action();
            });
        }
        return false;
    }

  private:
    std::function<void()> action_;
    bool fired_ = false;
};

} // namespace

void AfterFirstPaint(QWidget* widget, std::function<void()> action) {
    new FirstPaintWatch(widget, std::move(action));
}

} // namespace ui
