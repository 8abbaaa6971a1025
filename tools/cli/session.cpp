#include "session.h"

#include <QEventLoop>
#include <QTimer>

#include "comm/conn_string.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"

namespace {
constexpr int kDefaultPort = 4444;
}

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

Session::Session(QTextStream &err) : m_err(err) {
    MXX_init(nullptr, nullptr, nullptr);
}

Session::~Session() {
    if (m_device) m_device->disconnect();
    m_m30.reset();
    m_device.reset();
    MXX_shut();
}

int Session::open(const QString &target, int timeoutMs) {
    QString conn = connectionStringOf(target);
    comm_conn_params params;
    if (comm_parse_conn_string(conn.toUtf8().constData(), &params) != COMM_PARSE_OK) {
        m_err << "survokart-cli: '" << target
              << "' is neither host[:port] nor a connection string such as "
                 "NETW/127.0.0.1/4444/1000\n";
        return EXIT_USAGE;
    }
    m_device = std::make_unique<MXXDevice>();
    enum class Outcome { Waiting, Connected, Error, Ended } outcome = Outcome::Waiting;
    QEventLoop loop;
    QObject::connect(m_device.get(), &MXXDevice::connected, &loop, [&] {
        outcome = Outcome::Connected;
        loop.quit();
    });
    QObject::connect(m_device.get(), &MXXDevice::connectionError, &loop, [&] {
        outcome = Outcome::Error;
        loop.quit();
    });
    QObject::connect(m_device.get(), &MXXDevice::disconnected, &loop, [&] {
        outcome = Outcome::Ended;
        m_lost = true;
        loop.quit();
    });
    if (!m_device->connect(conn)) {
        m_err << "survokart-cli: links of this kind cannot be opened here: " << conn << "\n";
        return EXIT_REFUSED;
    }
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    switch (outcome) {
        case Outcome::Connected:
            break;
        case Outcome::Error:
            m_err << "survokart-cli: could not open the link " << conn
                  << " (refused or unreachable)\n";
            return EXIT_REFUSED;
        case Outcome::Ended:
        case Outcome::Waiting:
            m_err << "survokart-cli: no instrument answered on " << conn << "\n";
            return EXIT_NO_ANSWER;
    }
    m_type = m_device->type();
    if (m_type != MXX_TYPE_M30) {
        m_err << "survokart-cli: the instrument on " << conn << " is not an M30 (type " << m_type
              << ")\n";
        return EXIT_FAILED;
    }
    m_m30 = std::make_shared<M30Protocol>();
    m_device->registerProtocol(m_m30);
    QObject::connect(m_device.get(), &MXXDevice::disconnected, [this] { m_lost = true; });
    return EXIT_OK;
}
