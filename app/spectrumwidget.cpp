#include "spectrumwidget.h"

#include <QPainter>
#include <QPainterPath>
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

    QPainterPath path;
    for (int c = 0; c < channels; ++c) {
        const double x = plot.left() + (c + 0.5) * plot.width() / channels;
        const double y = plot.bottom() - scaled(counts[c]) / top * plot.height();
        if (c == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
    }
    p.setClipRect(plot);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
    p.drawPath(path);
}
