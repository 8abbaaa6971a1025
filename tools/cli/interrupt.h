// Ctrl-C (SIGINT) and SIGTERM ask the tool to stop: a monitor ends, a download stops between
// records, and either way the link is closed before the program exits.
//
// The handler does nothing but write() to an eventfd, the one thing here that is safe in a signal
// handler on any thread; event loops hear of it through a socket notifier on the GUI-less main
// thread, loops without events look at the eventfd. The handler resets itself, so a second Ctrl-C
// ends the process at once should the first one not be heard.
#pragma once

#include <QObject>

class QSocketNotifier;

class Interrupt : public QObject {
    Q_OBJECT

public:
    // One per process; installs the handlers.
    explicit Interrupt(QObject *parent = nullptr);
    ~Interrupt() override;  // puts the default handlers back

    // False when the eventfd or the handlers could not be set up.
    bool installed() const { return m_fd >= 0; }
    // Whether a stop was asked for; it stays asked for.
    bool requested() const;

signals:
    // Once, from the event loop, after the first signal.
    void triggered();

private:
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
