// The event that carries one decoded record from a connection's reader thread to its device.
#pragma once

#include <QEvent>
#include <QVariant>

class MXXDeviceEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 1);  // 1001

    MXXDeviceEvent(int protocolType, const QVariant &data)
        : QEvent(kType), m_protocolType(protocolType), m_data(data) {}
    // The device keeps copies in its pending list.
    MXXDeviceEvent(const MXXDeviceEvent &other) = default;
    MXXDeviceEvent &operator=(const MXXDeviceEvent &other) = default;
    ~MXXDeviceEvent() override = default;

    MXXDeviceEvent *clone() const override { return new MXXDeviceEvent(*this); }

    // The type code of the protocol that produced the record (12 for the M30).
    int protocolType() const { return m_protocolType; }
    QVariant &data() { return m_data; }
    const QVariant &data() const { return m_data; }

private:
    int m_protocolType;
    QVariant m_data;
};
