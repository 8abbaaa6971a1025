#include "mxxnetseeker.h"

#include <QTcpSocket>
#include <QtEndian>

#include "log.h"

namespace {

// The table of one reply text: keys and values are opaque to the seeker.
QHash<QString, QString> parseDeviceList(const QByteArray &reply) {
    qsizetype end = reply.indexOf('\0');
    QString text = QString::fromUtf8(end < 0 ? reply : reply.left(end));
    QHash<QString, QString> devices;
    for (const QString &part : text.split(u' ', Qt::SkipEmptyParts)) {
        QStringList fields = part.split(u'|', Qt::KeepEmptyParts);
        devices.insert(fields.at(0), fields.size() > 1 ? fields.at(1) : QString());
    }
    return devices;
}

}  // namespace

MXXNetSeeker::MXXNetSeeker(const QString &host, quint16 port, QObject *parent)
    : QObject(parent), m_host(host), m_port(port), m_socket(new QTcpSocket(this)) {
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    connect(m_socket, &QTcpSocket::readyRead, this, &MXXNetSeeker::readDeviceList);
    connect(m_socket, &QTcpSocket::connected, this, &MXXNetSeeker::connected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &MXXNetSeeker::connectionError);
}

void MXXNetSeeker::seekForDevices() {
    m_replyLength = 0;
    m_socket->abort();
    m_socket->connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void MXXNetSeeker::connected() {
    m_socket->write("list", 5);  // with its terminating zero byte
}

// A host that does not answer is routine for discovery: its list simply stays empty.
void MXXNetSeeker::connectionError(QAbstractSocket::SocketError) {
    qCDebug(lcDevice) << "no device list from" << m_host << m_port << m_socket->errorString();
}

void MXXNetSeeker::readDeviceList() {
    if (m_replyLength == 0) {
        if (m_socket->bytesAvailable() < 2) return;
        QByteArray length = m_socket->read(2);
        if (length.size() != 2) {
            m_socket->abort();
            return;
        }
        m_replyLength = qFromBigEndian<quint16>(length.constData());
        // A reply of length 0 is empty: nothing more will come for it.
    }
    if (m_socket->bytesAvailable() < m_replyLength) return;
    QByteArray reply = m_socket->read(m_replyLength);
    if (reply.size() != m_replyLength) {
        m_socket->abort();
        return;
    }
    m_replyLength = 0;
    m_devices = parseDeviceList(reply);
    emit devicesFound(m_host, m_devices);
    m_socket->abort();
}
