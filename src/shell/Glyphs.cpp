#include "shell/Glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace qordex::shell {

QIcon Glyph(GlyphKind kind, QChar letter, int hue) {
    const int size = kind == GlyphKind::App ? 128 : 24;
    QPixmap pix(size, size);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 24.0;
    p.scale(s, s);
    switch (kind) {
    case GlyphKind::Clear: {
        p.setPen(QPen(QColor(70, 70, 70), 1.2));
        p.setBrush(QColor(250, 250, 250));
        p.drawRect(QRectF(5, 3, 13, 17));
        p.setPen(QPen(QColor(200, 40, 40), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 8), QPointF(15, 15));
        p.drawLine(QPointF(15, 8), QPointF(8, 15));
        break;
    }
    case GlyphKind::Save: {
        p.setPen(QPen(QColor(30, 50, 110), 1.2));
        p.setBrush(QColor(70, 110, 190));
        p.drawRoundedRect(QRectF(3, 3, 18, 18), 2, 2);
        p.setBrush(QColor(240, 240, 240));
        p.drawRect(QRectF(7, 3, 10, 7));
        p.setBrush(QColor(30, 50, 110));
        p.drawRect(QRectF(8, 14, 8, 7));
        break;
    }
    case GlyphKind::App:
    case GlyphKind::Tool: {
        QColor base = QColor::fromHsv(hue % 360, 150, 200);
        p.setPen(QPen(base.darker(160), 1));
        p.setBrush(base);
        p.drawRoundedRect(QRectF(2, 2, 20, 20), 5, 5);
        p.setPen(Qt::white);
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(13);
        p.setFont(f);
        p.drawText(QRectF(2, 2, 20, 20), Qt::AlignCenter,
                   kind == GlyphKind::App ? QStringLiteral("Q") : QString(letter));
        break;
    }
    }
    p.end();
    return QIcon(pix);
}

} // namespace qordex::shell
