#include "m17protocol.h"

#include <cstring>

#include "mxx/m17.h"

namespace {

QString text(const char *field, size_t width) {
    return QString::fromUtf8(field, static_cast<qsizetype>(strnlen(field, width)));
}

}  // namespace

M17Protocol::M17Protocol(QObject *parent) : Protocol(parent) {}

QString M17Protocol::getFWVersion() {
    char version[M17_FW_VERSION_SIZE] = {};
    if (!succeeded(M17_get_fw_version(m_connId, version, 1))) return {};
    return text(version, sizeof version);
}

QString M17Protocol::getSerial() {
    char serial[M17_SERIAL_SIZE] = {};
    if (!succeeded(M17_get_serial(m_connId, serial, 1))) return {};
    return text(serial, sizeof serial);
}

bool M17Protocol::setSerial(const QString &serial) {
    char field[M17_SERIAL_SIZE] = {};
    QByteArray utf8 = serial.toUtf8();
    std::memcpy(field, utf8.constData(), std::min<size_t>(utf8.size(), sizeof field));
    return succeeded(M17_set_serial(m_connId, field, 1));
}

bool M17Protocol::getTime(QDateTime &dateTime) {
    M17_date_time t{};
    if (!succeeded(M17_get_time(m_connId, &t, 1))) return false;
    // A clock that sends month 13 or day 40 has no time to give.
    const QDate date(t.year, t.month, t.day);
    const QTime time(t.hour, t.minute, t.second, 0);
    if (!date.isValid() || !time.isValid()) return false;
    dateTime.setDate(date);
    dateTime.setTime(time);
    return true;
}

bool M17Protocol::setTime(const QDateTime &dateTime) {
    QDate d = dateTime.date();
    QTime t = dateTime.time();
    M17_date_time r{d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
    return succeeded(M17_set_time(m_connId, &r, 1));
}

bool M17Protocol::getModelRev(Revision &revision) {
    M17_model_rev r{revision.revision};
    if (!succeeded(M17_get_model_rev(m_connId, &r, 1))) return false;
    revision.revision = r.revision;
    return true;
}

bool M17Protocol::setModelRev(const Revision &revision) {
    M17_model_rev r{revision.revision};
    return succeeded(M17_set_model_rev(m_connId, &r, 1));
}

bool M17Protocol::eraseExtFlash(int &parameter) {
    return succeeded(M17_erase_ext_flash(m_connId, &parameter, 1));
}

bool M17Protocol::readExtFlash(short page, unsigned char *data) {
    return succeeded(M17_read_ext_flash(m_connId, static_cast<uint16_t>(page), data, 1));
}

bool M17Protocol::writeExtFlash(short page, const unsigned char *data, unsigned int size) {
    return succeeded(M17_write_ext_flash(m_connId, static_cast<uint16_t>(page), data, size, 1));
}

bool M17Protocol::flashFW(bool flag, unsigned int count) {
    M17_flash_request r{flag ? 1 : 0, static_cast<int32_t>(count)};
    return succeeded(M17_flash_FW(m_connId, &r, 1));
}

bool M17Protocol::restart() {
    return M17_restart(m_connId) == 0;
}
