#include "overlaypanel.h"

#include <QFontMetrics>
#include <QPainter>

namespace {
constexpr int kPadding = 6;
constexpr int kGap = 6;  // between swatch and text
}  // namespace

void TOverlayPanel::addLine(const QString &text, const QColor &swatch) {
    m_lines.append({text, swatch});
}

bool TOverlayPanel::hasSwatches() const {
    for (const Line &line : m_lines)
        if (line.swatch.isValid()) return true;
    return false;
}

QSize TOverlayPanel::size(const QFontMetrics &metrics) const {
    int width = 0;
    for (const Line &line : m_lines)
        width = std::max(width, metrics.horizontalAdvance(line.text));
    if (hasSwatches()) width += metrics.height() + kGap;
    return {width + 2 * kPadding, int(m_lines.size()) * metrics.height() + 2 * kPadding};
}

void TOverlayPanel::paint(QPainter *painter, const QRect &rect) const {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(QColor(120, 120, 120));
    painter->setBrush(QColor(255, 255, 255, 225));
    painter->drawRect(rect.adjusted(0, 0, -1, -1));

    const QFontMetrics metrics = painter->fontMetrics();
    const int lineHeight = metrics.height();
    const int textLeft = rect.left() + kPadding + (hasSwatches() ? lineHeight + kGap : 0);
    int top = rect.top() + kPadding;
    for (const Line &line : m_lines) {
        if (line.swatch.isValid()) {
            // Opaque, as a surveyor compares it with the discs by eye.
            const QRect swatch(rect.left() + kPadding + 1, top + 1, lineHeight - 2, lineHeight - 2);
            painter->setPen(QColor(60, 60, 60));
            painter->setBrush(QColor(line.swatch.rgb()));
            painter->drawRect(swatch.adjusted(0, 0, -1, -1));
        }
        painter->setPen(Qt::black);
        painter->drawText(QRect(textLeft, top, rect.right() - textLeft, lineHeight),
                          Qt::AlignLeft | Qt::AlignVCenter, line.text);
        top += lineHeight;
    }
    painter->restore();
}
