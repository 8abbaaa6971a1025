#include "session.h"

#include <unistd.h>
#include <QEventLoop>
#include <QTimer>

#include "comm/conn_string.h"
#include "interrupt.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"

namespace {
constexpr int kDefaultPort = 4444;
}  // namespace

QString connectionStringOf(const QString &target) {
    if (target.contains('/')) return target;
    QString host = target.section(':', 0, 0);
    QString port = target.contains(':') ? target.section(':', 1) : QString::number(kDefaultPort);
    bool ok = false;
    int p = port.toInt(&ok);
    if (!ok || host.isEmpty()) return target;
    char buf[COMM_CONN_STRING_SIZE];
    if (MXX_make_net_conn_string(buf, host.toUtf8().constData(), p) != 0) return target;
    return QString::fromUtf8(buf);
}

Session::Session(QTextStream &err, const Interrupt *interrupt)
    : m_err(err), m_interrupt(interrupt), m_terminal(::isatty(STDERR_FILENO)) {
    MXX_init(nullptr, nullptr, nullptr);
}

Session::~Session() {
    endProgress();
    if (m_device) m_device->disconnect();
    m_m30.reset();
    m_device.reset();
    MXX_shut();
}

void Session::progress(const QString &line) {
    if (!m_terminal) return;
    m_err << "\r" << line;
    m_err.flush();
    m_progressOpen = true;
}

void Session::endProgress() {
    if (!m_progressOpen) return;
    m_err << "\n";
    m_err.flush();
    m_progressOpen = false;
}

void Session::note(const QString &message) {
    endProgress();
    m_err << "survokart-cli: " << message << "\n";
    m_err.flush();
}

int Session::fail(int code, const QString &message) {
    note(message);
    return code;
}

int Session::open(const QString &target, int timeoutMs) {
    QString conn = connectionStringOf(target);
    comm_conn_params params;
    if (comm_parse_conn_string(conn.toUtf8().constData(), &params) != COMM_PARSE_OK)
        return fail(EXIT_USAGE, Cli::tr("'%1' is neither host[:port] nor a connection string such "
                                        "as NETW/127.0.0.1/4444/1000")
                                    .arg(target));
    m_device = std::make_unique<MXXDevice>();
    enum class Outcome { Waiting, Connected, Error, Ended } outcome = Outcome::Waiting;
    QEventLoop loop;
    auto end = [&](Outcome o) {
        return [&outcome, &loop, o] {
            outcome = o;
            loop.quit();
        };
    };
    QObject::connect(m_device.get(), &MXXDevice::connected, &loop, end(Outcome::Connected));
    QObject::connect(m_device.get(), &MXXDevice::connectionError, &loop, end(Outcome::Error));
    QObject::connect(m_device.get(), &MXXDevice::disconnected, &loop, end(Outcome::Ended));
    if (!m_device->connect(conn))
        return fail(EXIT_REFUSED,
                    Cli::tr("the link %1 cannot be opened (the reason is above)").arg(conn));
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    endWith(loop);
    loop.exec();
    if (interrupted()) return fail(EXIT_INTERRUPTED, Cli::tr("interrupted while connecting"));
    switch (outcome) {
        case Outcome::Connected:
            break;
        case Outcome::Error:
            return fail(EXIT_REFUSED,
                        Cli::tr("could not open the link %1 (refused or unreachable)").arg(conn));
        case Outcome::Ended:
        case Outcome::Waiting:
            return fail(EXIT_NO_ANSWER, Cli::tr("no instrument answered on %1").arg(conn));
    }
    m_type = m_device->type();
    if (m_type != MXX_TYPE_M30)
        return fail(EXIT_NOT_M30,
                    Cli::tr("the instrument on %1 is not an M30 (type %2)").arg(conn).arg(m_type));
    m_m30 = std::make_shared<M30Protocol>();
    m_device->registerProtocol(m_m30);
    return EXIT_OK;
}

bool Session::linkLost() const {
    const int id = m_device ? m_device->connId() : -1;
    return id < 0 || MXX_get_conn_state_id(id) != MXX_CONN_CONNECTED;
}

bool Session::interrupted() const {
    return m_interrupt && m_interrupt->requested();
}

void Session::endWith(QEventLoop &loop) {
    if (m_device)
        QObject::connect(m_device.get(), &MXXDevice::disconnected, &loop, &QEventLoop::quit);
    if (m_interrupt) QObject::connect(m_interrupt, &Interrupt::triggered, &loop, &QEventLoop::quit);
}

int Session::commandFailed(const QString &what) {
    if (Protocol::lastCommandAnswered())
        return fail(EXIT_FAILED, Cli::tr("the instrument refused %1").arg(what));
    if (linkLost())
        return fail(EXIT_NO_ANSWER,
                    Cli::tr("the link to the instrument ended during %1").arg(what));
    return fail(EXIT_NO_ANSWER,
                Cli::tr("the instrument did not answer %1; check that it is switched on and within "
                        "reach")
                    .arg(what));
}
