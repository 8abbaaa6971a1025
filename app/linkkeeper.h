// Brings a panel's link back after a loss the user did not ask for: the pauses between attempts
// grow (ReconnectSchedule), the panel is told when an attempt is due, and the keeper says in
// words where it stands. It never opens anything itself. GUI thread only.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

// When attempts follow a loss: 1, 2, 5 and 10 s after the loss or the last failure, then every
// 10 s, until `limit` attempts have failed (0: never gives up). No clock: the panel's timer
// waits the pauses.
class ReconnectSchedule {
public:
    explicit ReconnectSchedule(int limit = 0) : m_limit(limit) {}
    // The pause before attempt `attempt`, counted from 1.
    static int pauseMs(int attempt);
    // Whether no attempt follows once `failed` attempts have failed.
    bool exhausted(int failed) const { return m_limit > 0 && failed >= m_limit; }
    int limit() const { return m_limit; }

private:
    int m_limit;
};

class LinkKeeper : public QObject {
    Q_OBJECT

public:
    enum Phase {
        Idle,          // nothing to bring back
        Waiting,       // a remembered instrument not seen yet since the program started
        Reconnecting,  // a lost link
        GaveUp,        // the attempts ran out
    };

    explicit LinkKeeper(QObject *parent = nullptr);

    // Starts bringing back a link lost at this moment (a loss during attempts changes nothing).
    void lost();
    // Starts looking for an instrument remembered from the last run; it never gives up.
    void waitFor();
    // The attempt in flight failed: the next one is scheduled, or the keeper gives up.
    void attemptFailed();
    // An instrument is back, or the user took over (connected elsewhere, closed the link,
    // stopped the attempts): nothing more is attempted.
    void stop();
    // Skips the pause: the instrument was just seen (a USB arrival).
    void attemptNow();

    // While attempts are going on.
    bool active() const { return m_phase == Waiting || m_phase == Reconnecting; }
    Phase phase() const { return m_phase; }
    int attempt() const { return m_attempt; }
    QDateTime since() const { return m_since; }
    // Where the keeper stands, for the panel; empty when idle.
    QString text() const;

signals:
    // Time for the next attempt; its outcome comes back through stop() or attemptFailed().
    void attemptDue();
    void changed();

private:
    void begin(Phase phase);
    void schedule();

    ReconnectSchedule m_schedule;
    QTimer m_timer;
    Phase m_phase = Idle;
    int m_attempt = 0;  // the attempt in flight or due next
    QDateTime m_since;
};
