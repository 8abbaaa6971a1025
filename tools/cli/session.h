// One instrument opened for the command-line tool: the device object, its M30 protocol, and the
// outcome of opening it and of each command as an exit code a script can act on.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QTextStream>
#include <memory>

#include "device/m30protocol.h"
#include "device/mxxdevice.h"

class Interrupt;
class QEventLoop;

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 2,          // bad arguments or connection string
    EXIT_REFUSED = 3,        // the link could not be opened
    EXIT_NO_ANSWER = 4,      // nothing answered a command, or the link ended
    EXIT_FAILED = 5,         // the instrument answered but refused the command
    EXIT_FILE = 6,           // the output could not be written
    EXIT_NOT_M30 = 7,        // an instrument answered, but not an M30
    EXIT_INPUT = 8,          // the survey journal to export cannot be read
    EXIT_INTERRUPTED = 130,  // Ctrl-C before the work was done, as a shell reports it
};

// The tool's texts go through Qt's translation, as the application's do.
struct Cli {
    Q_DECLARE_TR_FUNCTIONS(Cli)
};

// "host", "host:port" or a full connection string.
QString connectionStringOf(const QString &target);

class Session {
public:
    // `interrupt` may be null: nothing then interrupts the session.
    Session(QTextStream &err, const Interrupt *interrupt);
    ~Session();  // closes the link

    // Connects and binds the M30 protocol; EXIT_OK or the reason it could not.
    int open(const QString &target, int timeoutMs = 10000);
    M30Protocol &m30() { return *m_m30; }
    MXXDevice &device() { return *m_device; }
    int type() const { return m_type; }

    // Whether the link has ended, also while no event loop runs.
    bool linkLost() const;
    bool interrupted() const;
    // Ends `loop` when the link ends or Ctrl-C comes.
    void endWith(QEventLoop &loop);

    // After a command method returned false: tells the link's end and the instrument's silence
    // (EXIT_NO_ANSWER) from a refusal (EXIT_FAILED), on `err`. `what` names the command
    // ("the key press").
    int commandFailed(const QString &what);
    // A line on `err`, prefixed with the tool's name; it ends a progress line first.
    void note(const QString &message);
    // A line on a terminal that the next one overwrites; nothing when `err` is no terminal.
    void progress(const QString &line);
    void endProgress();
    // note(), returning `code`.
    int fail(int code, const QString &message);

private:
    QTextStream &m_err;
    const Interrupt *m_interrupt;
    std::unique_ptr<MXXDevice> m_device;
    std::shared_ptr<M30Protocol> m_m30;
    int m_type = 0;
    const bool m_terminal;
    bool m_progressOpen = false;
};
