// Asks one host over TCP for its list of devices: sends "list" and reads one reply of a 16-bit
// big-endian length and that many bytes of text, "key|value" parts separated by spaces.
// Lives on one thread; the socket's signals drive it.
#pragma once

#include <QAbstractSocket>
#include <QHash>
#include <QObject>
#include <QString>

class QTcpSocket;

class MXXNetSeeker : public QObject {
    Q_OBJECT

public:
    MXXNetSeeker(const QString &host, quint16 port, QObject *parent = nullptr);

    // Starts a new query; a reply still pending from an earlier one is dropped.
    void seekForDevices();

signals:
    void devicesFound(const QString &host, const QHash<QString, QString> &devices);

private slots:
    void connected();
    void connectionError(QAbstractSocket::SocketError error);
    void readDeviceList();

private:
    QString m_host;
    quint16 m_port;
    QTcpSocket *m_socket;
    quint16 m_replyLength = 0;  // 0 until the reply's length has been read
    QHash<QString, QString> m_devices;
};
