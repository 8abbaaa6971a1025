#include "m17.h"

#include <cstring>

#include "mxx.h"
#include "recognition.h"

namespace {

constexpr int kTimeout = 1000;
constexpr int kSerialTimeout = 100;
constexpr int kEraseTimeout = 180000;
constexpr int kWriteFlashTimeout = 10000;
constexpr int kFlashFwTimeout = 50000;
constexpr int kSetSerialTimeout = 1500;
constexpr uint16_t kSerialAnswer = M17_CMD_GET_SERIAL + MXX_RESPONSE_OFFSET;

int transact(int conn_id, uint16_t code, int timeout_ms, const void *request, unsigned request_size,
             void *response, int response_size, int *param_out, int await) {
    return MXX_send_cmd(conn_id, code, 0, request, request_size, response, response_size, nullptr,
                        param_out, nullptr, timeout_ms, await);
}

int fetch(int conn_id, uint16_t code, int timeout_ms, void *response, int response_size,
          int await) {
    return transact(conn_id, code, timeout_ms, nullptr, 0, response, response_size, nullptr, await);
}

int send(int conn_id, uint16_t code, int timeout_ms, const void *request, unsigned request_size,
         int await) {
    return transact(conn_id, code, timeout_ms, request, request_size, nullptr, 0, nullptr, await);
}

}  // namespace

int M17_get_fw_version(int conn_id, char version[M17_FW_VERSION_SIZE], int await) {
    if (version) std::memset(version, 0, M17_FW_VERSION_SIZE);
    return fetch(conn_id, M17_CMD_GET_FW_VERSION, kTimeout, version, M17_FW_VERSION_SIZE, await);
}

int M17_get_time(int conn_id, M17_date_time *time, int await) {
    return fetch(conn_id, M17_CMD_GET_TIME, kTimeout, time, sizeof *time, await);
}

int M17_set_time(int conn_id, const M17_date_time *time, int await) {
    return send(conn_id, M17_CMD_SET_TIME, kTimeout, time, sizeof *time, await);
}

int M17_get_serial(int conn_id, char serial[M17_SERIAL_SIZE], int await) {
    // Zero exactly the answer's width: the caller's buffer may hold no more than that.
    if (serial) std::memset(serial, 0, M17_SERIAL_SIZE);
    return fetch(conn_id, M17_CMD_GET_SERIAL, kSerialTimeout, serial, serial ? M17_SERIAL_SIZE : 0,
                 await);
}

int M17_get_model_rev(int conn_id, M17_model_rev *revision, int await) {
    return fetch(conn_id, M17_CMD_GET_MODEL_REV, kTimeout, revision, sizeof *revision, await);
}

int M17_restart(int conn_id) {
    return send(conn_id, M17_CMD_RESTART, kTimeout, nullptr, 0, 0);
}

int M17_erase_ext_flash(int conn_id, int *parameter, int await) {
    return transact(conn_id, M17_CMD_ERASE_EXT_FLASH, kEraseTimeout, nullptr, 0, nullptr, 0,
                    parameter, await);
}

int M17_read_ext_flash(int conn_id, uint16_t page, uint8_t data[M17_EXT_FLASH_PAGE_SIZE],
                       int await) {
    uint8_t request[2];
    mxx_put16(request, page);
    return transact(conn_id, M17_CMD_READ_EXT_FLASH, kTimeout, request, sizeof request, data,
                    M17_EXT_FLASH_PAGE_SIZE, nullptr, await);
}

int M17_write_ext_flash(int conn_id, uint16_t page, const uint8_t *data, unsigned size, int await) {
    // A longer request would not fit the frame's length field; refuse it rather than cut it.
    if (size > M17_WRITE_EXT_FLASH_MAX || (size && !data)) return -1;
    uint8_t request[MXX_MAX_PAYLOAD];  // on the stack: the frame layer copies it at once
    mxx_put16(request, page);
    if (size) std::memcpy(request + 2, data, size);
    return send(conn_id, M17_CMD_WRITE_EXT_FLASH, kWriteFlashTimeout, request, size + 2, await);
}

int M17_flash_FW(int conn_id, const M17_flash_request *request, int await) {
    return send(conn_id, M17_CMD_FLASH_FW, kFlashFwTimeout, request, sizeof *request, await);
}

int M17_set_serial(int conn_id, const char serial[M17_SERIAL_SIZE], int await) {
    return send(conn_id, M17_CMD_SET_SERIAL, kSetSerialTimeout, serial, M17_SERIAL_SIZE, await);
}

int M17_set_model_rev(int conn_id, const M17_model_rev *revision, int await) {
    return send(conn_id, M17_CMD_SET_MODEL_REV, kTimeout, revision, sizeof *revision, await);
}

int M17_probe(int conn_id) {
    return M17_get_serial(conn_id, nullptr, 0);
}

int M17_test_probe(int conn_id, MXX_frame *frame, int *device_type_out, int /*attempt*/) {
    if (device_type_out) *device_type_out = MXX_TYPE_M17;
    MXX_set_cmd_num_try(conn_id, 3);
    return frame && mxx_frame_code(frame) == kSerialAnswer;
}
