// A plot of a gamma spectrum: counts per channel, on a linear or a logarithmic scale.
//
// GUI thread only.
#pragma once

#include <QWidget>
#include <memory>

class Spectrum;

class SpectrumWidget : public QWidget {
    Q_OBJECT

public:
    explicit SpectrumWidget(QWidget *parent = nullptr);

    void setSpectrum(std::shared_ptr<const Spectrum> spectrum);
    void setLogarithmic(bool logarithmic);
    bool logarithmic() const { return m_logarithmic; }
    // The height of a count on the plot's scale, 0 for none; log10(1 + n) on the logarithmic one.
    double scaled(double count) const;

    QSize sizeHint() const override { return {640, 300}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::shared_ptr<const Spectrum> m_spectrum;
    bool m_logarithmic = false;
};
