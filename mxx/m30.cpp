#include "m30.h"

#include "mxx.h"
#include "recognition.h"

namespace {

// Commands the instrument needs longer than a second for.
struct slow_command {
    uint16_t code;
    int timeout_ms;
};
constexpr slow_command kSlow[] = {
    {M30_CMD_SET_PARAMS, 8000},
    {M30_CMD_STORE_IDENT, 10000},
    {M30_CMD_TX_BUFF_INFO, 3000},
    {M30_CMD_TX_BUFF_PREPARE, 20000},
    {M30_CMD_TX_BUFF_GET, 3000},
    {M30_CMD_INIT_CALIB_METHODS, 10000},
    {M30_CMD_UPDATE_CLOUD_ASSAY_ID, 15000},
};
constexpr int kDefaultTimeout = 1000;

// A request or response of a command: the record's address and its fixed size, or none.
struct request {
    const void *data = nullptr;
    unsigned size = 0;
};
struct response {
    void *data = nullptr;
    int size = 0;
};
template <class T>
request in(const T *record) {
    return {record, sizeof(T)};
}
template <class T>
response out(T *record) {
    return {record, sizeof(T)};
}

int run(int conn_id, uint16_t code, request req, response rsp, int *result, int await) {
    return MXX_send_cmd(conn_id, code, 0, req.data, req.size, rsp.data, rsp.size, nullptr, nullptr,
                        result, M30_timeout_ms(code), await);
}

}  // namespace

int M30_timeout_ms(uint16_t code) {
    for (const slow_command &c : kSlow)
        if (c.code == code) return c.timeout_ms;
    return kDefaultTimeout;
}

// One line per command: its code, request, response and result.

int M30_get_versions(int id, M30_versions *versions, int await) {
    return run(id, M30_CMD_GET_VERSIONS, {}, out(versions), nullptr, await);
}
int M30_get_date_time(int id, M30_date_time *time, int await) {
    return run(id, M30_CMD_GET_DATE_TIME, {}, out(time), nullptr, await);
}
int M30_set_date_time(int id, const M30_date_time *time, int await) {
    return run(id, M30_CMD_SET_DATE_TIME, in(time), {}, nullptr, await);
}
int M30_get_serial_number(int id, uint32_t *serial, int await) {
    return run(id, M30_CMD_GET_SERIAL_NUMBER, {}, out(serial), nullptr, await);
}
int M30_set_gui_serial(int id, const M30_gui_serial *serial, int await) {
    return run(id, M30_CMD_SET_GUI_SERIAL, in(serial), {}, nullptr, await);
}
int M30_get_event_filter(int id, M30_event_filter *filter, int await) {
    return run(id, M30_CMD_GET_EVENT_FILTER, {}, out(filter), nullptr, await);
}
int M30_set_event_filter(int id, const M30_event_filter *filter, int await) {
    return run(id, M30_CMD_SET_EVENT_FILTER, in(filter), {}, nullptr, await);
}
int M30_get_inhibition(int id, M30_inhibition *inhibition, int await) {
    return run(id, M30_CMD_GET_INHIBITION, {}, out(inhibition), nullptr, await);
}
int M30_set_inhibition(int id, const M30_inhibition *inhibition, int await) {
    return run(id, M30_CMD_SET_INHIBITION, in(inhibition), {}, nullptr, await);
}
int M30_restart(int id, int await) {
    return run(id, M30_CMD_RESTART, {}, {}, nullptr, await);
}
int M30_setup_display(int id, const int32_t *setting, int await) {
    return run(id, M30_CMD_SETUP_DISPLAY, in(setting), {}, nullptr, await);
}
int M30_emulate_key(int id, const int32_t *key, int await) {
    return run(id, M30_CMD_EMULATE_KEY, in(key), {}, nullptr, await);
}
int M30_get_params(int id, M30_params *params, int await) {
    return run(id, M30_CMD_GET_PARAMS, {}, out(params), nullptr, await);
}
int M30_set_params(int id, const M30_params *params, int await) {
    return run(id, M30_CMD_SET_PARAMS, in(params), {}, nullptr, await);
}
int M30_get_status(int id, M30_status *status, int await) {
    return run(id, M30_CMD_GET_STATUS, {}, out(status), nullptr, await);
}
int M30_get_gps_power(int id, int32_t *state, int await) {
    return run(id, M30_CMD_GET_GPS_POWER, {}, out(state), nullptr, await);
}
int M30_set_gps_power(int id, const int32_t *state, int await) {
    return run(id, M30_CMD_SET_GPS_POWER, in(state), {}, nullptr, await);
}
int M30_reacquire_background(int id, int await) {
    return run(id, M30_CMD_REACQUIRE_BACKGROUND, {}, {}, nullptr, await);
}
int M30_set_bg_stab(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_SET_BG_STAB, in(value), {}, nullptr, await);
}
int M30_confirm_alarms(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_CONFIRM_ALARMS, in(value), {}, nullptr, await);
}
int M30_set_default_params(int id, int await) {
    return run(id, M30_CMD_SET_DEFAULT_PARAMS, {}, {}, nullptr, await);
}
int M30_load_default_params(int id, int await) {
    return run(id, M30_CMD_LOAD_DEFAULT_PARAMS, {}, {}, nullptr, await);
}
int M30_load_gamma_backup_params(int id, int *result, int await) {
    return run(id, M30_CMD_LOAD_GAMMA_BACKUP_PARAMS, {}, {}, result, await);
}
int M30_set_leds(int id, const uint32_t *led_word, int await) {
    return run(id, M30_CMD_SET_LEDS, in(led_word), {}, nullptr, await);
}
int M30_get_leds(int id, uint32_t *led_word, int await) {
    return run(id, M30_CMD_GET_LEDS, {}, out(led_word), nullptr, await);
}
int M30_start_cs_stab_acc_spectrum(int id, int await) {
    return run(id, M30_CMD_START_CS_STAB_ACC_SPECTRUM, {}, {}, nullptr, await);
}
int M30_stop_cs_stab_acc_spectrum(int id, int await) {
    return run(id, M30_CMD_STOP_CS_STAB_ACC_SPECTRUM, {}, {}, nullptr, await);
}
int M30_clear_accumulated_spectrum(int id, int await) {
    return run(id, M30_CMD_CLEAR_ACCUMULATED_SPECTRUM, {}, {}, nullptr, await);
}
int M30_start_accumulated_spectrum(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_START_ACCUMULATED_SPECTRUM, in(value), {}, nullptr, await);
}
int M30_stop_accumulated_spectrum(int id, int await) {
    return run(id, M30_CMD_STOP_ACCUMULATED_SPECTRUM, {}, {}, nullptr, await);
}
int M30_start_assay_acc_spectrum(int id, int await) {
    return run(id, M30_CMD_START_ASSAY_ACC_SPECTRUM, {}, {}, nullptr, await);
}
int M30_stop_assay_acc_spectrum(int id, int await) {
    return run(id, M30_CMD_STOP_ASSAY_ACC_SPECTRUM, {}, {}, nullptr, await);
}
int M30_record_survey(int id, const int32_t *on, int await) {
    return run(id, M30_CMD_RECORD_SURVEY, in(on), {}, nullptr, await);
}
int M30_delete_record_id(int id, const M30_delete_record_request *request, int await) {
    return run(id, M30_CMD_DELETE_RECORD_ID, in(request), {}, nullptr, await);
}
int M30_store_assay(int id, int await) {
    return run(id, M30_CMD_STORE_ASSAY, {}, {}, nullptr, await);
}
int M30_store_ident(int id, int await) {
    return run(id, M30_CMD_STORE_IDENT, {}, {}, nullptr, await);
}
int M30_assign_note(int id, const M30_note_assignment *note, int await) {
    return run(id, M30_CMD_ASSIGN_NOTE, in(note), {}, nullptr, await);
}
int M30_get_memory_usage(int id, M30_memory_usage *usage, int await) {
    return run(id, M30_CMD_GET_MEMORY_USAGE, {}, out(usage), nullptr, await);
}
int M30_save_calib_log(int id, const M30_calib_log *log, int await) {
    return run(id, M30_CMD_SAVE_CALIB_LOG, in(log), {}, nullptr, await);
}
int M30_check_calib_date(int id, const int32_t *value, M30_check_calib *check, int await) {
    return run(id, M30_CMD_CHECK_CALIB_DATE, in(value), out(check), nullptr, await);
}
int M30_start_ident_acc_spectrum(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_START_IDENT_ACC_SPECTRUM, in(value), {}, nullptr, await);
}
int M30_stop_ident_acc_spectrum(int id, int await) {
    return run(id, M30_CMD_STOP_IDENT_ACC_SPECTRUM, {}, {}, nullptr, await);
}
int M30_start_record_audio(int id, int32_t *value, int await) {
    return run(id, M30_CMD_START_RECORD_AUDIO, {}, out(value), nullptr, await);
}
int M30_stop_record_audio(int id, int await) {
    return run(id, M30_CMD_STOP_RECORD_AUDIO, {}, {}, nullptr, await);
}
int M30_play_audio(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_PLAY_AUDIO, in(value), {}, nullptr, await);
}
int M30_stop_audio(int id, int await) {
    return run(id, M30_CMD_STOP_AUDIO, {}, {}, nullptr, await);
}
int M30_prepare_note_db(int id, const int32_t *value, int32_t *answer, int await) {
    return run(id, M30_CMD_PREPARE_NOTE_DB, in(value), out(answer), nullptr, await);
}
int M30_get_calibration_method_names(int id, M30_calibration_method_name *names, int *result,
                                     int await) {
    return run(id, M30_CMD_GET_CALIBRATION_METHOD_NAMES, {}, out(names), result, await);
}
int M30_get_calibration_methods(int id, const M30_method_name *name,
                                M30_calibration_methods *methods, int *result, int await) {
    return run(id, M30_CMD_GET_CALIBRATION_METHODS, in(name), out(methods), result, await);
}
int M30_save_calibration_methods(int id, const M30_calibration_methods *methods, int *result,
                                 int await) {
    return run(id, M30_CMD_SAVE_CALIBRATION_METHODS, in(methods), {}, result, await);
}
int M30_save_calibration_spect(int id, const M30_calib_spectrum_key *key, int *result, int await) {
    return run(id, M30_CMD_SAVE_CALIBRATION_SPECT, in(key), {}, result, await);
}
int M30_upload_calibration_spectrum(int id, const M30_calib_spectrum *spectrum, int *result,
                                    int await) {
    return run(id, M30_CMD_UPLOAD_CALIBRATION_SPECTRUM, in(spectrum), {}, result, await);
}
int M30_download_calibration_spectrum(int id, const M30_calib_spectrum_key *key,
                                      M30_calib_spectrum *spectrum, int *result, int await) {
    return run(id, M30_CMD_DOWNLOAD_CALIBRATION_SPECTRUM, in(key), out(spectrum), result, await);
}
int M30_set_linearization_spect(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_SET_LINEARIZATION_SPECT, in(value), {}, nullptr, await);
}
int M30_linearizate(int id, int await) {
    return run(id, M30_CMD_LINEARIZATE, {}, {}, nullptr, await);
}
int M30_set_hv(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_SET_HV, in(value), {}, nullptr, await);
}
int M30_power_off(int id, int await) {
    return run(id, M30_CMD_POWER_OFF, {}, {}, nullptr, await);
}
int M30_welcome(int id, int await) {
    return run(id, M30_CMD_WELCOME, {}, {}, nullptr, await);
}
int M30_tx_buff_info(int id, const int32_t *selector, M30_txbuf_info *info, int await) {
    return run(id, M30_CMD_TX_BUFF_INFO, in(selector), out(info), nullptr, await);
}
int M30_tx_buff_prepare(int id, const M30_txbuf_prepare_request *request,
                        M30_txbuf_prepare_response *response, int await) {
    return run(id, M30_CMD_TX_BUFF_PREPARE, in(request), out(response), nullptr, await);
}
int M30_tx_buff_get(int id, const M30_txbuf_chunk_request *request, M30_txbuf_chunk *chunk,
                    int *result, int await) {
    return run(id, M30_CMD_TX_BUFF_GET, in(request), out(chunk), result, await);
}
int M30_set_adc_param(int id, const M30_adc_param *param, int await) {
    return run(id, M30_CMD_SET_ADC_PARAM, in(param), {}, nullptr, await);
}
int M30_get_motion_sensor_data(int id, M30_motion_sensor *data, int await) {
    return run(id, M30_CMD_GET_MOTION_SENSOR_DATA, {}, out(data), nullptr, await);
}
int M30_get_ethernet_list(int id, M30_ethernet_list *list, int await) {
    return run(id, M30_CMD_GET_ETHERNET_LIST, {}, out(list), nullptr, await);
}
int M30_get_usb_gadget_list(int id, M30_usb_gadget_list *list, int await) {
    return run(id, M30_CMD_GET_USB_GADGET_LIST, {}, out(list), nullptr, await);
}
int M30_get_wifi_ipv4_list(int id, const M30_network_name *network, M30_wifi_ipv4_list *list,
                           int await) {
    return run(id, M30_CMD_GET_WIFI_IPV4_LIST, in(network), out(list), nullptr, await);
}
int M30_get_wifi_ipv6_list(int id, const M30_network_name *network, M30_wifi_ipv6_list *list,
                           int await) {
    return run(id, M30_CMD_GET_WIFI_IPV6_LIST, in(network), out(list), nullptr, await);
}
int M30_connect_wifi(int id, const M30_wifi_connect_request *request, int await) {
    return run(id, M30_CMD_CONNECT_WIFI, in(request), {}, nullptr, await);
}
int M30_set_wifi(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_SET_WIFI, in(value), {}, nullptr, await);
}
int M30_set_connect_code(int id, const M30_connect_code *code, int await) {
    return run(id, M30_CMD_SET_CONNECT_CODE, in(code), {}, nullptr, await);
}
int M30_wifi_scan(int id, int await) {
    return run(id, M30_CMD_WIFI_SCAN, {}, {}, nullptr, await);
}
int M30_remove_wifi(int id, const M30_network_name *network, int await) {
    return run(id, M30_CMD_REMOVE_WIFI, in(network), {}, nullptr, await);
}
int M30_set_ipv4(int id, const M30_ipv4_settings *settings, int await) {
    return run(id, M30_CMD_SET_IPV4, in(settings), {}, nullptr, await);
}
int M30_set_ipv6(int id, const M30_ipv6_settings *settings, int await) {
    return run(id, M30_CMD_SET_IPV6, in(settings), {}, nullptr, await);
}
int M30_set_nameservers(int id, const M30_nameservers *servers, int await) {
    return run(id, M30_CMD_SET_NAMESERVERS, in(servers), {}, nullptr, await);
}
int M30_set_wifi_autoconnect(int id, const M30_autoconnect_request *request, int await) {
    return run(id, M30_CMD_SET_WIFI_AUTOCONNECT, in(request), {}, nullptr, await);
}
int M30_send_assay_results(int id, int await) {
    return run(id, M30_CMD_SEND_ASSAY_RESULTS, {}, {}, nullptr, await);
}
int M30_assay_calculation(int id, int await) {
    return run(id, M30_CMD_ASSAY_CALCULATION, {}, {}, nullptr, await);
}
int M30_identify_calculation(int id, int await) {
    return run(id, M30_CMD_IDENTIFY_CALCULATION, {}, {}, nullptr, await);
}
int M30_set_lookup_table(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_SET_LOOKUP_TABLE, in(value), {}, nullptr, await);
}
int M30_session_to_maintainer(int id, int await) {
    return run(id, M30_CMD_SESSION_TO_MAINTAINER, {}, {}, nullptr, await);
}
int M30_get_nuclide_library(int id, const int32_t *selector, M30_nuclib_entry *library, int await) {
    return run(id, M30_CMD_GET_NUCLIDE_LIBRARY, in(selector), out(library), nullptr, await);
}
int M30_set_nuclide_library(int id, const M30_nuclib_entry *library, int await) {
    return run(id, M30_CMD_SET_NUCLIDE_LIBRARY, in(library), {}, nullptr, await);
}
int M30_write_log(int id, const M30_log_line *line, int await) {
    return run(id, M30_CMD_WRITE_LOG, in(line), {}, nullptr, await);
}
int M30_init_calib_methods(int id, int await) {
    return run(id, M30_CMD_INIT_CALIB_METHODS, {}, {}, nullptr, await);
}
int M30_get_expanded_stab_spect(int id, const int32_t *value, M30_expanded_spectrum_data *spectrum,
                                int await) {
    return run(id, M30_CMD_GET_EXPANDED_STAB_SPECT, in(value), out(spectrum), nullptr, await);
}
int M30_get_meas_state(int id, M30_meas_state *state, int await) {
    return run(id, M30_CMD_GET_MEAS_STATE, {}, out(state), nullptr, await);
}
int M30_set_remote_control(int id, const int32_t *value, int await) {
    return run(id, M30_CMD_SET_REMOTE_CONTROL, in(value), {}, nullptr, await);
}
int M30_set_core_info(int id, const M30_core_info_entry *info, int await) {
    return run(id, M30_CMD_SET_CORE_INFO, in(info), {}, nullptr, await);
}
int M30_set_assay_core_depth(int id, const M30_core_depth *depth, int await) {
    return run(id, M30_CMD_SET_ASSAY_CORE_DEPTH, in(depth), {}, nullptr, await);
}
int M30_get_virtual_components(int id, const int32_t *value, M30_virtual_components *components,
                               int await) {
    return run(id, M30_CMD_GET_VIRTUAL_COMPONENTS, in(value), out(components), nullptr, await);
}
int M30_set_virtual_components(int id, const M30_virtual_components *components, int await) {
    return run(id, M30_CMD_SET_VIRTUAL_COMPONENTS, in(components), {}, nullptr, await);
}
int M30_update_cloud_assay_id(int id, const M30_cloud_assay_id_request *request, int *result,
                              int await) {
    return run(id, M30_CMD_UPDATE_CLOUD_ASSAY_ID, in(request), {}, result, await);
}
int M30_download_joblist_from_cloud(int id, int await) {
    return run(id, M30_CMD_DOWNLOAD_JOBLIST_FROM_CLOUD, {}, {}, nullptr, await);
}
int M30_delete_cloud_records(int id, int await) {
    return run(id, M30_CMD_DELETE_CLOUD_RECORDS, {}, {}, nullptr, await);
}
int M30_bt_inquiry_start(int id, int await) {
    return run(id, M30_CMD_BT_INQUIRY_START, {}, {}, nullptr, await);
}
int M30_bt_inquiry_stop(int id, int await) {
    return run(id, M30_CMD_BT_INQUIRY_STOP, {}, {}, nullptr, await);
}
int M30_bt_inquiry_get_results(int id, M30_bt_inquiry_results *results, int await) {
    return run(id, M30_CMD_BT_INQUIRY_GET_RESULTS, {}, out(results), nullptr, await);
}
int M30_bt_connect(int id, const M30_bt_connect_request *request, int await) {
    return run(id, M30_CMD_BT_CONNECT, in(request), {}, nullptr, await);
}

// The service get-serial is this model's probe.
int M30_probe(int conn_id) {
    return M17_probe(conn_id);
}

int M30_test_probe(int conn_id, MXX_frame *frame, int *device_type_out, int attempt) {
    int answered = M17_test_probe(conn_id, frame, device_type_out, attempt);
    if (device_type_out) *device_type_out = MXX_TYPE_M30;
    return answered && mxx_frame_length(frame) >= 2 && frame->data[0] == 'C';
}
