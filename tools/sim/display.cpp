#include "display.h"

#include <QBuffer>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr int kPages = 3;
constexpr int kBar = 24, kReadings = 120, kRow = 24;

const char *unit_text(int unit) {
    static const char *const kUnits[] = {"nGy/h", "nSv/h", "\u00b5R/h", "nrem/h"};
    return unit >= 0 && unit < 4 ? kUnits[unit] : "?/h";
}

}  // namespace

const std::vector<std::string> &Display::items() {
    static const std::vector<std::string> kItems = {"Survey", "Spectrum", "Dose", "GPS",
                                                    "Settings"};
    return kItems;
}

bool Display::press(int key) {
    int n = static_cast<int>(items().size());
    switch (key) {
        case kKeyUp:
            if (!m_open) m_selected = (m_selected + n - 1) % n;
            return true;
        case kKeyDown:
            if (!m_open) m_selected = (m_selected + 1) % n;
            return true;
        case kKeyOk:
            m_open = !m_open;
            m_page = 0;
            return true;
        case kKeyLeft:
            if (m_open) m_page = (m_page + kPages - 1) % kPages;
            return true;
        case kKeyRight:
            if (m_open) m_page = (m_page + 1) % kPages;
            return true;
        default:
            return false;
    }
}

std::vector<uint8_t> Display::png(const Screen &s) const {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(QColor(12, 16, 24));
    // Fonts exist only with a QGuiApplication; reading the instance pointer is safe from any
    // thread.
    const bool text = qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QFont font("DejaVu Sans");

        // Status bar: serial, recording mark, GPS fix.
        p.fillRect(0, 0, kWidth, kBar, QColor(40, 48, 64));
        if (s.recording) {
            p.setBrush(QColor(220, 40, 40));
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(kWidth - 70, kBar / 2.0), 6, 6);
        }
        p.fillRect(kWidth - 40, 6, 30, kBar - 12,
                   s.gps_fix ? QColor(60, 200, 90) : QColor(90, 90, 90));

        // Dose rate on a logarithmic bar from 10 to 100 000 of the raw unit.
        double level = std::clamp(std::log10(std::max(s.dose_rate, 1.0)) - 1, 0.0, 4.0) / 4;
        QColor bar = level < 0.3   ? QColor(60, 200, 90)
                     : level < 0.6 ? QColor(230, 190, 40)
                                   : QColor(230, 60, 50);
        p.fillRect(10, 90, static_cast<int>(300 * level), 16, bar);
        p.setPen(QColor(90, 100, 120));
        p.setBrush(Qt::NoBrush);
        p.drawRect(10, 90, 300, 16);

        // Menu: the items on the left, the open item's page on the right.
        const auto &names = items();
        for (int i = 0; i < static_cast<int>(names.size()); ++i) {
            QRect row(0, kReadings + i * kRow, 130, kRow);
            if (i == m_selected)
                p.fillRect(row, m_open ? QColor(200, 120, 30) : QColor(40, 90, 170));
        }
        if (m_open) {
            p.fillRect(140, kReadings + 4, 170, kHeight - kReadings - 12, QColor(30, 36, 50));
            for (int i = 0; i < kPages; ++i) {
                p.setBrush(i == m_page ? QColor(230, 230, 230) : QColor(90, 90, 90));
                p.setPen(Qt::NoPen);
                p.drawEllipse(QPointF(200 + 25 * i, kHeight - 22), 5, 5);
            }
        }

        if (text) {
            p.setPen(QColor(235, 235, 235));
            font.setPixelSize(14);
            p.setFont(font);
            p.drawText(QRect(8, 0, 200, kBar), Qt::AlignVCenter, QString::fromStdString(s.serial));
            p.drawText(QRect(kWidth - 40, 0, 30, kBar), Qt::AlignCenter, "GPS");
            font.setPixelSize(34);
            font.setBold(true);
            p.setFont(font);
            p.drawText(QRect(10, kBar + 4, 300, 44), Qt::AlignLeft | Qt::AlignVCenter,
                       QString("%1 %2").arg(s.dose_rate, 0, 'f', 1).arg(unit_text(s.unit)));
            font.setPixelSize(16);
            font.setBold(false);
            p.setFont(font);
            p.drawText(QRect(10, 68, 300, 20), Qt::AlignLeft | Qt::AlignVCenter,
                       QString("%1 cps").arg(s.count_rate));
            for (int i = 0; i < static_cast<int>(names.size()); ++i)
                p.drawText(QRect(10, kReadings + i * kRow, 120, kRow), Qt::AlignVCenter,
                           QString::fromStdString(names[i]));
            if (m_open)
                p.drawText(QRect(150, kReadings + 10, 150, 60), Qt::AlignLeft | Qt::AlignTop,
                           QString("%1\npage %2 of %3")
                               .arg(QString::fromStdString(names[m_selected]))
                               .arg(m_page + 1)
                               .arg(kPages));
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

}  // namespace sim
