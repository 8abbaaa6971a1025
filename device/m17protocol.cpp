#include "m17protocol.h"

#include <climits>
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
    M17_get_fw_version(m_connId, version, 1);
    return text(version, sizeof version);
}

QString M17Protocol::getSerial() {
    char serial[M17_SERIAL_SIZE] = {};
    M17_get_serial(m_connId, serial, 1);
    return text(serial, sizeof serial);
}

bool M17Protocol::setSerial(const QString &serial) {
    char field[M17_SERIAL_SIZE] = {};
    QByteArray utf8 = serial.toUtf8();
    std::memcpy(field, utf8.constData(), std::min<size_t>(utf8.size(), sizeof field));
    return M17_set_serial(m_connId, field, 1) == 0;
}

bool M17Protocol::getTime(QDateTime &dateTime) {
    // An unanswered command still reports success, so a month no clock has marks "no answer".
    M17_date_time t{};
    t.month = INT32_MIN;
    if (M17_get_time(m_connId, &t, 1) != 0 || t.month == INT32_MIN) return false;
    dateTime.setDate(QDate(t.year, t.month, t.day));
    dateTime.setTime(QTime(t.hour, t.minute, t.second, 0));
    return true;
}

bool M17Protocol::setTime(const QDateTime &dateTime) {
    QDate d = dateTime.date();
    QTime t = dateTime.time();
    M17_date_time r{d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
    return M17_set_time(m_connId, &r, 1) == 0;
}

bool M17Protocol::getModelRev(Revision &revision) {
    M17_model_rev r{revision.revision};
    if (M17_get_model_rev(m_connId, &r, 1) != 0) return false;
    revision.revision = r.revision;
    return true;
}

bool M17Protocol::setModelRev(const Revision &revision) {
    M17_model_rev r{revision.revision};
    return M17_set_model_rev(m_connId, &r, 1) == 0;
}

bool M17Protocol::eraseExtFlash(int &parameter) {
    return M17_erase_ext_flash(m_connId, &parameter, 1) == 0;
}

bool M17Protocol::readExtFlash(short page, unsigned char *data) {
    return M17_read_ext_flash(m_connId, static_cast<uint16_t>(page), data, 1) == 0;
}

bool M17Protocol::writeExtFlash(short page, const unsigned char *data, unsigned int size) {
    return M17_write_ext_flash(m_connId, static_cast<uint16_t>(page), data, size, 1) == 0;
}

bool M17Protocol::flashFW(bool flag, unsigned int count) {
    M17_flash_request r{flag ? 1 : 0, static_cast<int32_t>(count)};
    return M17_flash_FW(m_connId, &r, 1) == 0;
}

bool M17Protocol::restart() {
    return M17_restart(m_connId) == 0;
}
