// M17 service commands: what every instrument of the family answers whatever its model
// (firmware version, serial number, clock, model revision, external flash, firmware flashing,
// restart). Each function is one MXX_send_cmd transaction and returns its status unchanged:
// 0 = success (or no usable answer), 1 = failure answer, negative = write failed. Outputs are
// written only when an answer arrived, unless said otherwise. `await` non-zero waits for the
// response; zero only sends.
#pragma once

#include <bit>
#include <cstdint>

#include "frame.h"

static_assert(std::endian::native == std::endian::little, "instrument records are little-endian");

enum M17_command_code : uint16_t {
    M17_CMD_GET_FW_VERSION = 8001,
    M17_CMD_GET_TIME = 8002,
    M17_CMD_SET_TIME = 8003,
    M17_CMD_GET_SERIAL = 8007,
    M17_CMD_GET_MODEL_REV = 8008,
    M17_CMD_RESTART = 8021,
    M17_CMD_ERASE_EXT_FLASH = 8100,
    M17_CMD_READ_EXT_FLASH = 8101,
    M17_CMD_WRITE_EXT_FLASH = 8102,
    M17_CMD_FLASH_FW = 8103,
    M17_CMD_SET_SERIAL = 8104,
    M17_CMD_SET_MODEL_REV = 8105,
};

constexpr int M17_FW_VERSION_SIZE = 8;  // text, NUL-padded, no NUL when full
constexpr int M17_SERIAL_SIZE = 8;      // text, NUL-padded, no NUL when full
constexpr int M17_EXT_FLASH_PAGE_SIZE = 64;
// The page number takes 2 bytes of the payload.
constexpr unsigned M17_WRITE_EXT_FLASH_MAX = MXX_MAX_PAYLOAD - 2;

#pragma pack(push, 1)
// The clock of the instrument; the M30 uses the same record (M30_date_time).
struct M17_date_time {
    int32_t year;
    int32_t month;  // 1-12
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
};
struct M17_model_rev {
    int32_t revision;
};
struct M17_flash_request {
    int32_t flag;  // 0 or 1
    int32_t count;
};
#pragma pack(pop)
static_assert(sizeof(M17_date_time) == 24);
static_assert(sizeof(M17_model_rev) == 4);
static_assert(sizeof(M17_flash_request) == 8);

// Zeroes the 8-byte `version` first, so a missing answer leaves it empty.
int M17_get_fw_version(int conn_id, char version[M17_FW_VERSION_SIZE], int await);
int M17_get_time(int conn_id, M17_date_time *time, int await);
int M17_set_time(int conn_id, const M17_date_time *time, int await);
// Time-out 100 ms. Zeroes the 8-byte `serial` first, so a missing answer leaves it empty. A null
// `serial` asks for no payload.
int M17_get_serial(int conn_id, char serial[M17_SERIAL_SIZE], int await);
int M17_get_model_rev(int conn_id, M17_model_rev *revision, int await);
// Always sent without awaiting an answer: 0 when the frame was written.
int M17_restart(int conn_id);
// Time-out 180 s. `parameter` receives the answer's 16-bit header parameter.
int M17_erase_ext_flash(int conn_id, int *parameter, int await);
int M17_read_ext_flash(int conn_id, uint16_t page, uint8_t data[M17_EXT_FLASH_PAGE_SIZE],
                       int await);
// Sends the page number followed by `size` bytes of `data` (size 0: the page number alone).
// -1 without sending when size exceeds M17_WRITE_EXT_FLASH_MAX or data is null with a size.
int M17_write_ext_flash(int conn_id, uint16_t page, const uint8_t *data, unsigned size, int await);
int M17_flash_FW(int conn_id, const M17_flash_request *request, int await);
int M17_set_serial(int conn_id, const char serial[M17_SERIAL_SIZE], int await);
int M17_set_model_rev(int conn_id, const M17_model_rev *revision, int await);

// Recognition of models without a probe of their own: get-serial sent without awaiting; the test
// stores type 3, sets the connection's attempt count to 3 and accepts any get-serial answer.
int M17_probe(int conn_id);
int M17_test_probe(int conn_id, MXX_frame *frame, int *device_type_out, int attempt);
