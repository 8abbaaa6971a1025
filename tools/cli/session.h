// One instrument opened for the command-line tool: the device object, its M30 protocol, and the
// outcome of opening it as an exit code a script can act on.
#pragma once

#include <QString>
#include <QTextStream>
#include <memory>

#include "device/m30protocol.h"
#include "device/mxxdevice.h"

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 2,      // bad arguments or connection string
    EXIT_REFUSED = 3,    // the link could not be opened
    EXIT_NO_ANSWER = 4,  // nothing recognisable answered, or the link ended
    EXIT_FAILED = 5,     // the instrument answered but the command failed
    EXIT_FILE = 6,       // the output could not be written
};

// "host", "host:port" or a full connection string.
QString connectionStringOf(const QString &target);

class Session {
public:
    explicit Session(QTextStream &err);
    ~Session();

    // Connects and binds the M30 protocol; EXIT_OK or the reason it could not.
    int open(const QString &target, int timeoutMs = 10000);
    M30Protocol &m30() { return *m_m30; }
    MXXDevice &device() { return *m_device; }
    int type() const { return m_type; }
    bool linkLost() const { return m_lost; }

private:
    QTextStream &m_err;
    std::unique_ptr<MXXDevice> m_device;
    std::shared_ptr<M30Protocol> m_m30;
    int m_type = 0;
    bool m_lost = false;
};
