// Measures the longest time the GUI event loop did not get to run: a fast timer on the loop notes
// the gaps between its ticks. What a person feels as the window freezing.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace bench {

class StallMeter {
public:
    explicit StallMeter(int tickMs = 2) {
        m_ticker.setTimerType(Qt::PreciseTimer);
        m_ticker.setInterval(tickMs);
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            m_maxMs = std::max(m_maxMs, m_sinceTick.nsecsElapsed() / 1e6);
            m_sinceTick.restart();
        });
    }
    void start() {
        m_maxMs = 0;
        m_ticker.start();
        m_sinceTick.start();
    }
    double maxStallMs() const { return m_maxMs; }

private:
    QTimer m_ticker;
    QElapsedTimer m_sinceTick;
    double m_maxMs = 0;
};

}  // namespace bench
