// Records of the M30 instrument: packed little-endian structures exactly as on the wire. Only the
// named fields are read; every other byte is the instrument's own and travels unchanged. Text
// fields are UTF-8, NUL-padded, without a NUL when the text fills the field (M30_put_text).
// Fields may sit at odd offsets: read them by value, never bind a reference or pointer to one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

#include "gps_coords.h"
#include "m17.h"

// Event codes of frames the instrument sends of its own accord.
enum M30_event_code : uint16_t {
    M30_EVENT_SPECTRUM = 10002,             // spectrum header + channel counts
    M30_EVENT_KEYBOARD = 10003,             // M30_keyboard_data
    M30_EVENT_TOTAL_20HZ = 10004,           // uint32 at offset 0
    M30_EVENT_TOTAL = 10005,                // M30_total_data
    M30_EVENT_PULSE = 10006,                // M30_pulse_data
    M30_EVENT_STATUS = 10007,               // M30_status
    M30_EVENT_UNUSED = 10008,               // not hooked; its frames are dropped
    M30_EVENT_IDENTIFY_RESULTS = 10009,     // M30_identify_results
    M30_EVENT_LIGHT_SENSOR = 10010,         // uint32 at offset 0
    M30_EVENT_ALARMS = 10011,               // uint32 at offset 0
    M30_EVENT_PROGRESS = 10012,             // M30_progress_indication
    M30_EVENT_CONNMAN = 10013,              // uint32 at offset 0
    M30_EVENT_ASSAY_RESULTS = 10014,        // M30_assay_results
    M30_EVENT_CS_STAB_RESULTS = 10015,      // uint32 at offset 0
    M30_EVENT_MESSAGE = 10016,              // M30_message_event
    M30_EVENT_ONFLY_ASSAY_RESULTS = 10017,  // M30_assay_results
    M30_EVENT_BT_MANAGER = 10018,           // uint32 at offset 0
};

// Bits of M30_status::error_flags, in the order the status panel names the conditions. The
// instrument's documentation gives only the order, so bit n is the n-th condition.
enum M30_error_flag : uint16_t {
    M30_ERROR_GPP = 1u << 0,
    M30_ERROR_BATTERY = 1u << 1,
    M30_ERROR_GPS = 1u << 2,
    M30_ERROR_LIGHT_SENS = 1u << 3,
    M30_ERROR_MOTION_SENS = 1u << 4,
    M30_ERROR_LEDS = 1u << 5,
    M30_ERROR_WIFI = 1u << 6,
    M30_ERROR_BT = 1u << 7,
    M30_ERROR_FS_CFG = 1u << 8,
    M30_ERROR_FS_AUX = 1u << 9,
    M30_ERROR_FS_DATA = 1u << 10,
};
constexpr int M30_ERROR_FLAG_COUNT = 11;
// The name of each condition, indexed by its bit.
constexpr const char *M30_ERROR_FLAG_NAMES[M30_ERROR_FLAG_COUNT] = {
    "GPP",  "BATTERY", "GPS",    "LIGHT_SENS", "MOTION_SENS", "LEDS",
    "WIFI", "BT",      "FS_CFG", "FS_AUX",     "FS_DATA"};

// Dose-unit codes of M30_total_data::dose_unit (truncated from the float).
enum M30_dose_unit_code { M30_UNIT_GY = 0, M30_UNIT_SV = 1, M30_UNIT_R = 2, M30_UNIT_REM = 3 };

constexpr int M30_SPECTRUM_MAX_CHANNELS = 1024;
constexpr uint32_t M30_TXBUF_CHUNK_MAX = 8170;  // chunk data bytes per answer
constexpr uint32_t M30_EVENT_FILTER_ALL = 0xFFFF;
constexpr uint16_t M30_ONFLY_ASSAY_OFFSET = 1000;  // added to M30_assay_results::first for 10017

#pragma pack(push, 1)

// --- Records the application reads ---

// Response of 8203 and payload of event 10007.
struct M30_status {
    uint16_t error_flags;  // M30_error_flag bits; 0 = no error
    uint8_t reserved_2[46];
    int32_t survey_recording;  // non-zero while a survey is being recorded
    uint8_t reserved_52[130];
    float gps_latitude;   // decimal degrees, south negative
    float gps_longitude;  // decimal degrees, west negative
    float gps_altitude;   // metres
    int32_t gps_valid;    // non-zero when the three position fields hold a fix
    uint8_t reserved_198[174];
};

// Payload of event 10005.
struct M30_total_data {
    uint8_t reserved_0[2];
    uint32_t count_rate;  // counts per second
    uint8_t reserved_6[16];
    float dose_rate;  // per hour, raw unit of dose_unit: nGy/h, nSv/h, uR/h, nrem/h
    uint8_t reserved_26[12];
    float dose_unit;  // M30_dose_unit_code held as a float; truncate, never round
    uint8_t reserved_42[8];
};

using M30_date_time = M17_date_time;

// Events 10014 and 10017. The first field tells the two apart once 10017 has added 1000.
struct M30_assay_results {
    uint16_t first;
    uint8_t bytes[674];
};

// Header of the spectrum event payload (10002); N channel counts (int32) follow it.
struct M30_spectrum_header {
    uint16_t kind;  // wire kind 1-6, see M30_spectrum_type
    uint32_t channels;
    uint16_t fwhm_cs137_x100;
    uint16_t sequence_number;
    uint8_t reserved_10[4];
    float dose_rate_sum;
    uint8_t reserved_18[2];
    int32_t geiger_total;
    int32_t neutron_total;
    float dose;
    uint8_t reserved_32[12];
    int32_t cs_calib_status;
    int32_t cs_calib_result;
    int32_t current_sample;
    int32_t total_samples;
    uint8_t reserved_60[44];
    int32_t finished;
    uint64_t clock_time;
    uint64_t live_time;
    uint16_t total_count;
};

// A spectrum as the station keeps it for upload: the event header and its channels.
struct M30_spectrum_data {
    M30_spectrum_header header;
    int32_t counts[M30_SPECTRUM_MAX_CHANNELS];
};

// --- Request and response records with a layout of their own ---

struct M30_gui_serial {
    char serial[8];
};
struct M30_event_filter {
    int32_t mask;  // M30_EVENT_FILTER_ALL enables every event
    uint8_t reserved[4];
};
struct M30_inhibition {
    uint16_t first;
    uint16_t second;
};
struct M30_delete_record_request {
    int32_t first;
    int32_t second;
    uint16_t third;
    uint16_t fourth;
};
struct M30_note_assignment {
    int32_t first;
    int32_t second;
};
struct M30_adc_param {
    int32_t parameter_id;
    int32_t value;
};
struct M30_calib_log {
    uint8_t reserved_0[4];
    int32_t marker;  // always M30_CALIB_LOG_MARKER
    int32_t value;
    uint8_t reserved_12[12];
    char text[256];
};
struct M30_method_name {
    char name[16];
};
// Key of a stored calibration spectrum (8350, 8353).
struct M30_calib_spectrum_key {
    uint16_t first;
    char name[16];
    uint16_t second;
    uint16_t third;
};
// Request of 8352 and response of 8353. Beyond the key fields the layout is the instrument's.
struct M30_calib_spectrum {
    uint16_t first;
    char name[16];
    uint8_t bytes[4252];
};
struct M30_txbuf_info {
    uint32_t first;
    uint32_t handle;  // repeated by every chunk request
};
struct M30_txbuf_prepare_request {
    uint32_t kind;
    uint32_t sub_kind;
    int32_t args[4];
    uint8_t reserved[44];
};
struct M30_txbuf_prepare_response {
    uint32_t first;
    int32_t results[3];  // for the record-list kind results[0] is the number of records
    uint8_t reserved[52];
};
struct M30_txbuf_chunk_request {
    uint32_t offset;  // bytes already received
    uint32_t handle;  // from M30_txbuf_info
    uint32_t sub_kind;
};
// An answer may be shorter than this; `length` says how much of `data` holds the chunk.
struct M30_txbuf_chunk {
    uint32_t length;  // 0 = end of the buffer
    uint8_t reserved[4];
    uint8_t data[M30_TXBUF_CHUNK_MAX];
};
struct M30_network_name {
    char name[255];
};
struct M30_log_line {
    char text[255];
};
struct M30_wifi_connect_request {
    uint16_t value;
    char network[255];
};
struct M30_autoconnect_request {
    char network[64];
    uint16_t value;
};
// Filled from the five text arguments in order; an empty argument leaves its field zero.
struct M30_ipv4_settings {
    char first[64];
    char second[16];
    char third[20];
    char fourth[20];
    char fifth[20];
};
struct M30_ipv6_settings {
    char first[64];
    char second[16];
    char third[64];
    char fourth[8];
    char fifth[64];
    uint8_t reserved[16];
};
// Note the order: the second argument of a name-server setting comes first on the wire.
struct M30_nameservers {
    char second[20];
    char first[32];
};
struct M30_bt_connect_request {
    int32_t value;
    char address[32];
};
struct M30_core_depth {
    float depth;
    uint8_t reserved[64];
};
struct M30_cloud_assay_id_request {
    int32_t values[3];
    uint8_t reserved[252];
};
struct M30_meas_state {
    uint8_t bytes[8];
};

// --- Opaque records: instrument-defined, carried unchanged ---

struct M30_versions {
    uint8_t bytes[415];
};
struct M30_params {
    uint8_t bytes[1398];
};
struct M30_motion_sensor {
    uint8_t bytes[44];
};
struct M30_memory_usage {
    uint8_t bytes[92];
};
struct M30_check_calib {
    uint8_t bytes[10];
};
struct M30_calibration_method_name {
    uint8_t bytes[324];
};
struct M30_calibration_methods {
    uint8_t bytes[1012];
};
struct M30_usb_gadget_list {
    uint8_t bytes[2117];
};
struct M30_ethernet_list {
    uint8_t bytes[2117];
};
struct M30_wifi_ipv4_list {
    uint8_t bytes[1653];
};
struct M30_wifi_ipv6_list {
    uint8_t bytes[1837];
};
struct M30_connect_code {
    uint8_t bytes[255];
};
// The whole nuclide library block of 8480/8481.
struct M30_nuclib_entry {
    uint8_t bytes[14444];
};
struct M30_expanded_spectrum_data {
    uint8_t bytes[6124];
};
struct M30_core_info_entry {
    uint8_t bytes[340];
};
struct M30_virtual_components {
    uint8_t bytes[776];
};
struct M30_bt_inquiry_results {
    uint8_t bytes[2308];
};
struct M30_keyboard_data {
    uint8_t bytes[8];
};
struct M30_pulse_data {
    uint8_t bytes[8220];
};
struct M30_identify_results {
    uint8_t bytes[1383];
};
struct M30_progress_indication {
    uint8_t bytes[20];
};
struct M30_message_event {
    uint8_t bytes[259];
};

#pragma pack(pop)

constexpr int32_t M30_CALIB_LOG_MARKER = -1;

static_assert(sizeof(M30_status) == 372);
static_assert(offsetof(M30_status, survey_recording) == 48);
static_assert(offsetof(M30_status, gps_latitude) == 182);
static_assert(offsetof(M30_status, gps_longitude) == 186);
static_assert(offsetof(M30_status, gps_altitude) == 190);
static_assert(offsetof(M30_status, gps_valid) == 194);
static_assert(sizeof(M30_total_data) == 50);
static_assert(offsetof(M30_total_data, count_rate) == 2);
static_assert(offsetof(M30_total_data, dose_rate) == 22);
static_assert(offsetof(M30_total_data, dose_unit) == 38);
static_assert(sizeof(M30_assay_results) == 676);
static_assert(sizeof(M30_spectrum_header) == 126);
static_assert(offsetof(M30_spectrum_header, dose_rate_sum) == 14);
static_assert(offsetof(M30_spectrum_header, geiger_total) == 20);
static_assert(offsetof(M30_spectrum_header, dose) == 28);
static_assert(offsetof(M30_spectrum_header, cs_calib_status) == 44);
static_assert(offsetof(M30_spectrum_header, finished) == 104);
static_assert(offsetof(M30_spectrum_header, clock_time) == 108);
static_assert(offsetof(M30_spectrum_header, live_time) == 116);
static_assert(offsetof(M30_spectrum_header, total_count) == 124);
static_assert(sizeof(M30_gui_serial) == 8);
static_assert(sizeof(M30_event_filter) == 8);
static_assert(sizeof(M30_inhibition) == 4);
static_assert(sizeof(M30_delete_record_request) == 12);
static_assert(sizeof(M30_note_assignment) == 8);
static_assert(sizeof(M30_adc_param) == 8);
static_assert(sizeof(M30_calib_log) == 280 && offsetof(M30_calib_log, text) == 24);
static_assert(sizeof(M30_method_name) == 16);
static_assert(sizeof(M30_calib_spectrum_key) == 22 &&
              offsetof(M30_calib_spectrum_key, third) == 20);
static_assert(sizeof(M30_calib_spectrum) == 4270);
static_assert(sizeof(M30_txbuf_info) == 8);
static_assert(sizeof(M30_txbuf_prepare_request) == 68);
static_assert(sizeof(M30_txbuf_prepare_response) == 68);
static_assert(sizeof(M30_txbuf_chunk_request) == 12);
static_assert(sizeof(M30_txbuf_chunk) == 8178);
static_assert(sizeof(M30_network_name) == 255);
static_assert(sizeof(M30_log_line) == 255);
static_assert(sizeof(M30_wifi_connect_request) == 257);
static_assert(sizeof(M30_autoconnect_request) == 66);
static_assert(sizeof(M30_ipv4_settings) == 140 && offsetof(M30_ipv4_settings, fifth) == 120);
static_assert(sizeof(M30_ipv6_settings) == 232 && offsetof(M30_ipv6_settings, fifth) == 152);
static_assert(sizeof(M30_nameservers) == 52 && offsetof(M30_nameservers, first) == 20);
static_assert(sizeof(M30_bt_connect_request) == 36);
static_assert(sizeof(M30_core_depth) == 68);
static_assert(sizeof(M30_cloud_assay_id_request) == 264);
static_assert(sizeof(M30_meas_state) == 8);
static_assert(sizeof(M30_versions) == 415);
static_assert(sizeof(M30_params) == 1398);
static_assert(sizeof(M30_motion_sensor) == 44);
static_assert(sizeof(M30_memory_usage) == 92);
static_assert(sizeof(M30_check_calib) == 10);
static_assert(sizeof(M30_calibration_method_name) == 324);
static_assert(sizeof(M30_calibration_methods) == 1012);
static_assert(sizeof(M30_usb_gadget_list) == 2117);
static_assert(sizeof(M30_ethernet_list) == 2117);
static_assert(sizeof(M30_wifi_ipv4_list) == 1653);
static_assert(sizeof(M30_wifi_ipv6_list) == 1837);
static_assert(sizeof(M30_connect_code) == 255);
static_assert(sizeof(M30_nuclib_entry) == 14444);
static_assert(sizeof(M30_expanded_spectrum_data) == 6124);
static_assert(sizeof(M30_core_info_entry) == 340);
static_assert(sizeof(M30_virtual_components) == 776);
static_assert(sizeof(M30_bt_inquiry_results) == 2308);
static_assert(sizeof(M30_keyboard_data) == 8);
static_assert(sizeof(M30_pulse_data) == 8220);
static_assert(sizeof(M30_identify_results) == 1383);
static_assert(sizeof(M30_progress_indication) == 20);
static_assert(sizeof(M30_message_event) == 259);

// --- Encodings of the command set ---

// Copies UTF-8 text into a fixed field: cut at the field's width (no NUL then), NUL-padded when
// shorter. A cut may split a multi-byte character; the instrument reads bytes.
template <size_t N>
void M30_put_text(char (&field)[N], std::string_view text) {
    size_t n = text.size() < N ? text.size() : N;
    if (n) std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

// Reads a text field up to its first NUL or its full width.
template <size_t N>
std::string_view M30_text(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n])
        ++n;
    return {field, n};
}

// The LED word: bit 0 always set; bit 0 of the selection goes to bit 9, bit 1 to bit 6.
constexpr uint32_t M30_led_word(int leds) {
    auto l = static_cast<uint32_t>(leds);
    return 1u | (l & 1u) << 9 | (l >> 1 & 1u) << 6;
}

// Spectrum type of a wire kind: 1 live, 2 accumulated, 3 assay, 4 Cs stabilisation,
// 5 background calibration, 6 identification; 0 for an unknown kind. Wire kinds 2 and 4 swap.
constexpr int M30_spectrum_type(uint16_t wire_kind) {
    constexpr int kTypes[] = {0, 1, 4, 3, 2, 5, 6};
    return wire_kind < std::size(kTypes) ? kTypes[wire_kind] : 0;
}

// Truncates toward zero (2.9 is code 2); -1 for a float no int can hold, which a cast would not
// survive.
constexpr int M30_dose_unit(const M30_total_data &t) {
    float u = t.dose_unit;
    return u > -2147483648.0f && u < 2147483648.0f ? static_cast<int>(u) : -1;
}

// The name-server record of a setting (first, second); an empty text leaves its field zero.
inline M30_nameservers M30_make_nameservers(std::string_view first, std::string_view second) {
    M30_nameservers r{};
    M30_put_text(r.first, first);
    M30_put_text(r.second, second);
    return r;
}
