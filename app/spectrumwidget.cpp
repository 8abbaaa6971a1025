#include "spectrumwidget.h"

#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <cmath>

#include "device/spectrum.h"

namespace {
constexpr int kLeftMargin = 70, kRightMargin = 12, kTopMargin = 12, kBottomMargin = 28;
}

SpectrumWidget::SpectrumWidget(QWidget *parent) : QWidget(parent) {
    setAccessibleName(tr("Spectrum"));
    setMinimumSize(320, 160);
}

void SpectrumWidget::setSpectrum(std::shared_ptr<const Spectrum> spectrum) {
    m_spectrum = std::move(spectrum);
    update();
}

void SpectrumWidget::setLogarithmic(bool logarithmic) {
    m_logarithmic = logarithmic;
    update();
}

double SpectrumWidget::scaled(double count) const {
    if (!std::isfinite(count) || count <= 0) return 0;
    return m_logarithmic ? std::log10(1 + count) : count;
}

void SpectrumWidget::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    const QRect plot = rect().adjusted(kLeftMargin, kTopMargin, -kRightMargin, -kBottomMargin);
    const QColor text = palette().color(QPalette::Text);
    p.setPen(text);
    p.drawRect(plot);
    const QFontMetrics fm = fontMetrics();
    if (!m_spectrum || m_spectrum->data().isEmpty()) {
        p.drawText(plot, Qt::AlignCenter, tr("No spectrum received yet"));
        return;
    }
    const QList<int> &counts = m_spectrum->data();
    const int channels = int(counts.size());
    const int peak = *std::max_element(counts.begin(), counts.end());
    const double top = std::max(scaled(peak), 1.0) * 1.05;
    p.drawText(QRect(0, plot.top(), kLeftMargin - 6, fm.height()), Qt::AlignRight,
               QString::number(peak));
    p.drawText(QRect(0, plot.bottom() - fm.height(), kLeftMargin - 6, fm.height()), Qt::AlignRight,
               QStringLiteral("0"));
    p.drawText(QRect(plot.left(), plot.bottom() + 4, plot.width(), fm.height()), Qt::AlignLeft,
               QStringLiteral("0"));
    p.drawText(QRect(plot.left(), plot.bottom() + 4, plot.width(), fm.height()), Qt::AlignHCenter,
               m_logarithmic ? tr("Channel (counts, logarithmic)") : tr("Channel (counts)"));
    p.drawText(QRect(plot.left(), plot.bottom() + 4, plot.width(), fm.height()), Qt::AlignRight,
               QString::number(channels - 1));

    // A thousand channels on a few hundred pixels: each pixel column gets one stroke from its
    // lowest to its highest count, which draws the same picture at a fraction of the cost.
    QPolygonF line;
    line.reserve(2 * plot.width() + 2);
    int column = -1;
    double low = 0, high = 0;
    auto endColumn = [&] {
        if (column < 0) return;
        line << QPointF(column, low);
        if (high != low) line << QPointF(column, high);
    };
    for (int c = 0; c < channels; ++c) {
        const int x = plot.left() + int((c + 0.5) * plot.width() / channels);
        const double y = plot.bottom() - scaled(counts[c]) / top * plot.height();
        if (x == column) {
            low = std::max(low, y);  // y grows downwards: the lowest count is the largest y
            high = std::min(high, y);
            continue;
        }
        endColumn();
        column = x;
        low = high = y;
    }
    endColumn();
    p.setClipRect(plot);
    p.setRenderHint(QPainter::Antialiasing);
    // A cosmetic pen takes the raster engine's fast way for lines.
    QPen pen(palette().color(QPalette::Highlight), 1);
    pen.setCosmetic(true);
    p.setPen(pen);
    p.drawPolyline(line);
}
