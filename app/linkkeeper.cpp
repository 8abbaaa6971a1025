#include "linkkeeper.h"

#include <QLocale>

#include "appsettings.h"

int ReconnectSchedule::pauseMs(int attempt) {
    static constexpr int kPausesMs[] = {1000, 2000, 5000, 10000};
    constexpr int kSteps = static_cast<int>(std::size(kPausesMs));
    return kPausesMs[qBound(1, attempt, kSteps) - 1];
}

LinkKeeper::LinkKeeper(QObject *parent) : QObject(parent) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LinkKeeper::attemptDue);
}

void LinkKeeper::lost() {
    if (active()) return;
    // The limit is read at each loss, so that a changed setting counts from the next one.
    m_schedule = ReconnectSchedule(AppSettings().reconnectAttempts());
    begin(Reconnecting);
}

void LinkKeeper::waitFor() {
    m_schedule = ReconnectSchedule(0);
    begin(Waiting);
}

void LinkKeeper::begin(Phase phase) {
    m_phase = phase;
    m_attempt = 1;
    m_since = QDateTime::currentDateTime();
    // A remembered instrument is looked for at once; a lost one is given its first pause.
    m_timer.start(phase == Waiting ? 0 : ReconnectSchedule::pauseMs(m_attempt));
    emit changed();
}

void LinkKeeper::attemptFailed() {
    if (!active()) return;
    if (m_schedule.exhausted(m_attempt)) {
        m_phase = GaveUp;
        m_timer.stop();
        emit changed();
        return;
    }
    ++m_attempt;
    m_timer.start(ReconnectSchedule::pauseMs(m_attempt));
    emit changed();
}

void LinkKeeper::stop() {
    m_timer.stop();
    if (m_phase == Idle) return;
    m_phase = Idle;
    m_attempt = 0;
    emit changed();
}

void LinkKeeper::attemptNow() {
    if (m_timer.isActive()) m_timer.start(0);
}

QString LinkKeeper::text() const {
    const QString at = QLocale().toString(m_since.time(), QLocale::ShortFormat);
    switch (m_phase) {
        case Waiting:
            return tr("Waiting for the instrument since %1 (attempt %2)").arg(at).arg(m_attempt);
        case Reconnecting:
            return tr("Link lost at %1, reconnecting (attempt %2)").arg(at).arg(m_attempt);
        case GaveUp:
            return tr("Link lost at %1; gave up after %n attempt(s). Connect it again when the "
                      "instrument is back.",
                      nullptr, m_attempt)
                .arg(at);
        case Idle:
            break;
    }
    return QString();
}
