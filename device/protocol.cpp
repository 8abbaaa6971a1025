#include "protocol.h"

#include "mxx/mxx.h"

Protocol::Protocol(QObject *parent) : QObject(parent) {}

Protocol::~Protocol() = default;

void Protocol::bind(int connId, QThread *) {
    m_connId = connId;
    emit bindStateChanged(true);
}

void Protocol::unbind() {
    m_connId = -1;
    emit bindStateChanged(false);
}

void Protocol::receiveData(QVariant &) {}

bool Protocol::disconnectDevice() {
    int id = m_connId;
    if (id == -1) return false;
    return MXX_disconnect(id) == 0;
}

bool Protocol::lastCommandAnswered() {
    return MXX_last_cmd_outcome().answered;
}

bool Protocol::succeeded(int result) {
    return result == MXX_RESULT_OK && lastCommandAnswered();
}
