#include "app/pictures.h"

#include <cmath>

#include <QFont>
#include <QIcon>
#include <QtGlobal>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

// The icons' resources live in this static library: linked only when named.
static void load_icon_resources() { Q_INIT_RESOURCE(icons); }

namespace sonorix::ui {

namespace {

const QColor kDeep(22, 58, 110);
const QColor kBright(60, 140, 220);
const QColor kAccent(250, 190, 60);

// A row of level bars: the product's mark.
void draw_wave(QPainter& p, const QRectF& area, const QColor& color, int bars) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    const double step = area.width() / bars;
    for (int i = 0; i < bars; ++i) {
        const double t = (i + 0.5) / bars;
        const double level = 0.25 + 0.75 * std::fabs(std::sin(t * 9.0)) * (0.55 + 0.45 * std::sin(t * 3.1 + 1));
        const double h = area.height() * std::min(1.0, level);
        p.drawRoundedRect(QRectF(area.left() + i * step + step * 0.15, area.center().y() - h / 2, step * 0.7, h),
                          step * 0.3, step * 0.3);
    }
}

QPixmap banner(int width, int height, double title_size, bool tagline) {
    QPixmap pm(width, height);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, width, height);
    g.setColorAt(0, kDeep);
    g.setColorAt(1, kBright);
    p.fillRect(pm.rect(), g);
    draw_wave(p, QRectF(width * 0.06, height * 0.12, width * 0.88, height * (tagline ? 0.4 : 0.5)),
              QColor(255, 255, 255, 70), 36);
    QFont f("DejaVu Sans");
    f.setPixelSize(static_cast<int>(title_size));
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    const QRectF title(0, height * (tagline ? 0.45 : 0.25), width, title_size * 1.4);
    p.drawText(title, Qt::AlignCenter, "Sonorix");
    if (tagline) {
        QFont small("DejaVu Sans");
        small.setPixelSize(std::max(10, height / 16));
        p.setFont(small);
        p.setPen(kAccent);
        p.drawText(QRectF(0, title.bottom(), width, height - title.bottom() - 4), Qt::AlignHCenter | Qt::AlignTop,
                   "Audio volume of media files, louder or quieter\nVersion 2.2.0");
    }
    return pm;
}

}  // namespace

QPixmap splash_picture(int width, int height) { return banner(width, height, height * 0.22, true); }

QPixmap about_picture(int width, int height) { return banner(width, height, height * 0.55, false); }

namespace {

// The pixel ratios icons are drawn at: plain and HiDPI screens.
constexpr double kPixelRatios[] = {1, 2};

// A transparent canvas of width x height device-independent pixels.
QPixmap canvas(int width, int height, double pixel_ratio) {
    QPixmap pm(static_cast<int>(width * pixel_ratio), static_cast<int>(height * pixel_ratio));
    pm.setDevicePixelRatio(pixel_ratio);
    pm.fill(Qt::transparent);
    return pm;
}

QPixmap glyph_picture(Glyph glyph, double pixel_ratio);

}  // namespace

QIcon tab_icon(const QString& text, bool many_files, const QColor& text_color) {
    QIcon icon;
    for (double ratio : kPixelRatios) icon.addPixmap(tab_picture(text, many_files, text_color, ratio));
    return icon;
}

QIcon program_icon() {
    load_icon_resources();
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/sonorix-%1.png").arg(size), QSize(size, size));
    return icon;
}

QIcon glyph_icon(Glyph glyph) {
    QIcon icon;
    for (double ratio : kPixelRatios) icon.addPixmap(glyph_picture(glyph, ratio));
    return icon;
}

QPixmap tab_picture(const QString& text, bool many_files, const QColor& text_color, double pixel_ratio) {
    QPixmap pm = canvas(160, 65, pixel_ratio);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Pages of a document: one, or a stack of three.
    const int sheets = many_files ? 3 : 1;
    for (int i = sheets - 1; i >= 0; --i) {
        const QRectF sheet(8 + i * 5, 10 + i * 4, 30, 38);
        p.setPen(QPen(kDeep, 1.2));
        p.setBrush(i == 0 ? QColor(255, 255, 255) : QColor(220, 230, 245));
        p.drawRoundedRect(sheet, 3, 3);
    }
    draw_wave(p, QRectF(12, 20, 22, 18), kBright, 6);
    QFont f("DejaVu Sans");
    f.setPixelSize(14);
    f.setBold(true);
    p.setFont(f);
    p.setPen(text_color);
    p.drawText(QRectF(52, 0, 106, 65), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap, text);
    return pm;
}

namespace {

QPixmap glyph_picture(Glyph glyph, double pixel_ratio) {
    QPixmap pm = canvas(24, 24, pixel_ratio);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(kDeep, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    switch (glyph) {
    case Glyph::Load:
    case Glyph::Folder: {
        p.setBrush(kAccent);
        QPainterPath folder;
        folder.moveTo(3, 7);
        folder.lineTo(9, 7);
        folder.lineTo(11, 9);
        folder.lineTo(21, 9);
        folder.lineTo(21, 20);
        folder.lineTo(3, 20);
        folder.closeSubpath();
        p.setPen(QPen(kDeep, 1.4));
        p.drawPath(folder);
        if (glyph == Glyph::Load) {
            p.setPen(QPen(kDeep, 2.2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(12, 12), QPointF(12, 18));
            p.drawLine(QPointF(9, 15), QPointF(15, 15));
        }
        break;
    }
    case Glyph::Add:
        p.setPen(QPen(QColor(30, 130, 60), 3.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 4), QPointF(12, 20));
        p.drawLine(QPointF(4, 12), QPointF(20, 12));
        break;
    case Glyph::Remove:
        p.setPen(QPen(QColor(180, 40, 40), 3.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 12), QPointF(20, 12));
        break;
    case Glyph::Clear:
        p.setPen(QPen(QColor(180, 40, 40), 3.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 5), QPointF(19, 19));
        p.drawLine(QPointF(19, 5), QPointF(5, 19));
        break;
    case Glyph::StepDown:
    case Glyph::StepUp: {
        p.setPen(Qt::NoPen);
        p.setBrush(kDeep);
        QPainterPath arrow;
        const bool up = glyph == Glyph::StepUp;
        arrow.moveTo(5, up ? 16 : 8);
        arrow.lineTo(19, up ? 16 : 8);
        arrow.lineTo(12, up ? 7 : 17);
        arrow.closeSubpath();
        p.drawPath(arrow);
        break;
    }
    case Glyph::Amplify: {
        p.setBrush(kBright);
        p.setPen(QPen(kDeep, 1.4));
        QPainterPath speaker;
        speaker.moveTo(3, 9);
        speaker.lineTo(7, 9);
        speaker.lineTo(12, 4);
        speaker.lineTo(12, 20);
        speaker.lineTo(7, 15);
        speaker.lineTo(3, 15);
        speaker.closeSubpath();
        p.drawPath(speaker);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(kDeep, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(10, 7, 8, 10), -50 * 16, 100 * 16);
        p.drawArc(QRectF(9, 4, 13, 16), -50 * 16, 100 * 16);
        break;
    }
    }
    p.end();
    return pm;
}

}  // namespace

}  // namespace sonorix::ui
