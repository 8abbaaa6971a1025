// The M30 command set: one function per instrument command, each a single MXX_send_cmd
// transaction with the command's fixed code, request and response sizes and time-out (1 s unless
// noted). Parameters, in order: connection id; request record, if any; response buffer, if any;
// `result` receiving the response's status byte, for the commands that report one; `await`
// (non-zero = wait for the response, zero = send only). The header parameter is always left to
// the transaction, which fills it with the time-out.
//
// Returns the transaction's status unchanged: 0 = success or no usable answer, 1 = failure
// answer (error status, refusal), negative = write failed. The response buffer and `result` are
// written only when an answer arrived, so callers that need to know whether one did preset them.
#pragma once

#include "m30_records.h"

enum M30_command_code : uint16_t {
    M30_CMD_GET_VERSIONS = 8001,
    M30_CMD_GET_DATE_TIME = 8002,
    M30_CMD_SET_DATE_TIME = 8003,
    M30_CMD_GET_SERIAL_NUMBER = 8007,
    M30_CMD_SET_GUI_SERIAL = 8011,
    M30_CMD_GET_EVENT_FILTER = 8015,
    M30_CMD_SET_EVENT_FILTER = 8016,
    M30_CMD_GET_INHIBITION = 8017,
    M30_CMD_SET_INHIBITION = 8018,
    M30_CMD_RESTART = 8021,
    M30_CMD_SETUP_DISPLAY = 8031,
    M30_CMD_EMULATE_KEY = 8041,
    M30_CMD_GET_PARAMS = 8201,
    M30_CMD_SET_PARAMS = 8202,
    M30_CMD_GET_STATUS = 8203,
    M30_CMD_GET_GPS_POWER = 8204,
    M30_CMD_SET_GPS_POWER = 8205,
    M30_CMD_REACQUIRE_BACKGROUND = 8210,
    M30_CMD_SET_BG_STAB = 8211,
    M30_CMD_CONFIRM_ALARMS = 8215,
    M30_CMD_SET_DEFAULT_PARAMS = 8220,
    M30_CMD_LOAD_DEFAULT_PARAMS = 8221,
    M30_CMD_LOAD_GAMMA_BACKUP_PARAMS = 8225,
    M30_CMD_SET_LEDS = 8301,
    M30_CMD_GET_LEDS = 8302,
    M30_CMD_START_CS_STAB_ACC_SPECTRUM = 8304,
    M30_CMD_STOP_CS_STAB_ACC_SPECTRUM = 8305,
    M30_CMD_CLEAR_ACCUMULATED_SPECTRUM = 8306,
    M30_CMD_START_ACCUMULATED_SPECTRUM = 8307,
    M30_CMD_STOP_ACCUMULATED_SPECTRUM = 8308,
    M30_CMD_START_ASSAY_ACC_SPECTRUM = 8309,
    M30_CMD_STOP_ASSAY_ACC_SPECTRUM = 8310,
    M30_CMD_RECORD_SURVEY = 8311,
    M30_CMD_DELETE_RECORD_ID = 8312,
    M30_CMD_STORE_ASSAY = 8313,
    M30_CMD_STORE_IDENT = 8314,
    M30_CMD_ASSIGN_NOTE = 8315,
    M30_CMD_GET_MEMORY_USAGE = 8319,
    M30_CMD_SAVE_CALIB_LOG = 8320,
    M30_CMD_CHECK_CALIB_DATE = 8321,
    M30_CMD_START_IDENT_ACC_SPECTRUM = 8325,
    M30_CMD_STOP_IDENT_ACC_SPECTRUM = 8326,
    M30_CMD_START_RECORD_AUDIO = 8330,
    M30_CMD_STOP_RECORD_AUDIO = 8331,
    M30_CMD_PLAY_AUDIO = 8332,
    M30_CMD_STOP_AUDIO = 8333,
    M30_CMD_PREPARE_NOTE_DB = 8334,
    M30_CMD_GET_CALIBRATION_METHOD_NAMES = 8345,
    M30_CMD_GET_CALIBRATION_METHODS = 8346,
    M30_CMD_SAVE_CALIBRATION_METHODS = 8349,
    M30_CMD_SAVE_CALIBRATION_SPECT = 8350,
    M30_CMD_UPLOAD_CALIBRATION_SPECTRUM = 8352,
    M30_CMD_DOWNLOAD_CALIBRATION_SPECTRUM = 8353,
    M30_CMD_SET_LINEARIZATION_SPECT = 8360,
    M30_CMD_LINEARIZATE = 8361,
    M30_CMD_SET_HV = 8370,
    M30_CMD_POWER_OFF = 8400,
    M30_CMD_WELCOME = 8401,
    M30_CMD_TX_BUFF_INFO = 8410,
    M30_CMD_TX_BUFF_PREPARE = 8411,
    M30_CMD_TX_BUFF_GET = 8412,
    M30_CMD_SET_ADC_PARAM = 8420,
    M30_CMD_GET_MOTION_SENSOR_DATA = 8421,
    M30_CMD_GET_ETHERNET_LIST = 8423,
    M30_CMD_GET_USB_GADGET_LIST = 8424,
    M30_CMD_GET_WIFI_IPV4_LIST = 8425,
    M30_CMD_GET_WIFI_IPV6_LIST = 8426,
    M30_CMD_CONNECT_WIFI = 8427,
    M30_CMD_SET_WIFI = 8428,
    M30_CMD_SET_CONNECT_CODE = 8429,
    M30_CMD_WIFI_SCAN = 8431,
    M30_CMD_REMOVE_WIFI = 8432,
    M30_CMD_SET_IPV4 = 8435,
    M30_CMD_SET_IPV6 = 8436,
    M30_CMD_SET_NAMESERVERS = 8437,
    M30_CMD_SET_WIFI_AUTOCONNECT = 8438,
    M30_CMD_SEND_ASSAY_RESULTS = 8450,
    M30_CMD_ASSAY_CALCULATION = 8455,
    M30_CMD_IDENTIFY_CALCULATION = 8456,
    M30_CMD_SET_LOOKUP_TABLE = 8460,
    M30_CMD_SESSION_TO_MAINTAINER = 8470,
    M30_CMD_GET_NUCLIDE_LIBRARY = 8480,
    M30_CMD_SET_NUCLIDE_LIBRARY = 8481,
    M30_CMD_WRITE_LOG = 8510,
    M30_CMD_INIT_CALIB_METHODS = 8520,
    M30_CMD_GET_EXPANDED_STAB_SPECT = 8530,
    M30_CMD_GET_MEAS_STATE = 8531,
    M30_CMD_SET_REMOTE_CONTROL = 8540,
    M30_CMD_SET_CORE_INFO = 8550,
    M30_CMD_SET_ASSAY_CORE_DEPTH = 8551,
    M30_CMD_GET_VIRTUAL_COMPONENTS = 8560,
    M30_CMD_SET_VIRTUAL_COMPONENTS = 8561,
    M30_CMD_UPDATE_CLOUD_ASSAY_ID = 8565,
    M30_CMD_DOWNLOAD_JOBLIST_FROM_CLOUD = 8566,
    M30_CMD_DELETE_CLOUD_RECORDS = 8567,
    M30_CMD_BT_INQUIRY_START = 8570,
    M30_CMD_BT_INQUIRY_STOP = 8571,
    M30_CMD_BT_INQUIRY_GET_RESULTS = 8572,
    M30_CMD_BT_CONNECT = 8573,
};

// The time-out of a command in ms (1000 for all but a few; 1000 for codes not in the set).
int M30_timeout_ms(uint16_t code);

int M30_get_versions(int conn_id, M30_versions *versions, int await);
int M30_get_date_time(int conn_id, M30_date_time *time, int await);
int M30_set_date_time(int conn_id, const M30_date_time *time, int await);
int M30_get_serial_number(int conn_id, uint32_t *serial, int await);
int M30_set_gui_serial(int conn_id, const M30_gui_serial *serial, int await);
int M30_get_event_filter(int conn_id, M30_event_filter *filter, int await);
int M30_set_event_filter(int conn_id, const M30_event_filter *filter, int await);
int M30_get_inhibition(int conn_id, M30_inhibition *inhibition, int await);
int M30_set_inhibition(int conn_id, const M30_inhibition *inhibition, int await);
int M30_restart(int conn_id, int await);
int M30_setup_display(int conn_id, const int32_t *setting, int await);
int M30_emulate_key(int conn_id, const int32_t *key, int await);  // Linux input-event key code
int M30_get_params(int conn_id, M30_params *params, int await);
int M30_set_params(int conn_id, const M30_params *params, int await);  // 8 s
int M30_get_status(int conn_id, M30_status *status, int await);
int M30_get_gps_power(int conn_id, int32_t *state, int await);
int M30_set_gps_power(int conn_id, const int32_t *state, int await);
int M30_reacquire_background(int conn_id, int await);
int M30_set_bg_stab(int conn_id, const int32_t *value, int await);
int M30_confirm_alarms(int conn_id, const int32_t *value, int await);
int M30_set_default_params(int conn_id, int await);
int M30_load_default_params(int conn_id, int await);
int M30_load_gamma_backup_params(int conn_id, int *result, int await);
int M30_set_leds(int conn_id, const uint32_t *led_word, int await);  // see M30_led_word
int M30_get_leds(int conn_id, uint32_t *led_word, int await);
int M30_start_cs_stab_acc_spectrum(int conn_id, int await);
int M30_stop_cs_stab_acc_spectrum(int conn_id, int await);
int M30_clear_accumulated_spectrum(int conn_id, int await);
int M30_start_accumulated_spectrum(int conn_id, const int32_t *value, int await);
int M30_stop_accumulated_spectrum(int conn_id, int await);
int M30_start_assay_acc_spectrum(int conn_id, int await);
int M30_stop_assay_acc_spectrum(int conn_id, int await);
int M30_record_survey(int conn_id, const int32_t *on, int await);  // 1 start, 0 stop
int M30_delete_record_id(int conn_id, const M30_delete_record_request *request, int await);
int M30_store_assay(int conn_id, int await);
int M30_store_ident(int conn_id, int await);  // 10 s
int M30_assign_note(int conn_id, const M30_note_assignment *note, int await);
int M30_get_memory_usage(int conn_id, M30_memory_usage *usage, int await);
int M30_save_calib_log(int conn_id, const M30_calib_log *log, int await);
int M30_check_calib_date(int conn_id, const int32_t *value, M30_check_calib *check, int await);
int M30_start_ident_acc_spectrum(int conn_id, const int32_t *value, int await);
int M30_stop_ident_acc_spectrum(int conn_id, int await);
int M30_start_record_audio(int conn_id, int32_t *value, int await);
int M30_stop_record_audio(int conn_id, int await);
int M30_play_audio(int conn_id, const int32_t *value, int await);
int M30_stop_audio(int conn_id, int await);
int M30_prepare_note_db(int conn_id, const int32_t *value, int32_t *answer, int await);
int M30_get_calibration_method_names(int conn_id, M30_calibration_method_name *names, int *result,
                                     int await);
int M30_get_calibration_methods(int conn_id, const M30_method_name *name,
                                M30_calibration_methods *methods, int *result, int await);
int M30_save_calibration_methods(int conn_id, const M30_calibration_methods *methods, int *result,
                                 int await);
int M30_save_calibration_spect(int conn_id, const M30_calib_spectrum_key *key, int *result,
                               int await);
int M30_upload_calibration_spectrum(int conn_id, const M30_calib_spectrum *spectrum, int *result,
                                    int await);
int M30_download_calibration_spectrum(int conn_id, const M30_calib_spectrum_key *key,
                                      M30_calib_spectrum *spectrum, int *result, int await);
int M30_set_linearization_spect(int conn_id, const int32_t *value, int await);
int M30_linearizate(int conn_id, int await);
int M30_set_hv(int conn_id, const int32_t *value, int await);
int M30_power_off(int conn_id, int await);
int M30_welcome(int conn_id, int await);
int M30_tx_buff_info(int conn_id, const int32_t *selector, M30_txbuf_info *info,
                     int await);  // 3 s
int M30_tx_buff_prepare(int conn_id, const M30_txbuf_prepare_request *request,
                        M30_txbuf_prepare_response *response, int await);  // 20 s
int M30_tx_buff_get(int conn_id, const M30_txbuf_chunk_request *request, M30_txbuf_chunk *chunk,
                    int *result, int await);  // 3 s
int M30_set_adc_param(int conn_id, const M30_adc_param *param, int await);
int M30_get_motion_sensor_data(int conn_id, M30_motion_sensor *data, int await);
int M30_get_ethernet_list(int conn_id, M30_ethernet_list *list, int await);
int M30_get_usb_gadget_list(int conn_id, M30_usb_gadget_list *list, int await);
int M30_get_wifi_ipv4_list(int conn_id, const M30_network_name *network, M30_wifi_ipv4_list *list,
                           int await);
int M30_get_wifi_ipv6_list(int conn_id, const M30_network_name *network, M30_wifi_ipv6_list *list,
                           int await);
int M30_connect_wifi(int conn_id, const M30_wifi_connect_request *request, int await);
int M30_set_wifi(int conn_id, const int32_t *value, int await);
int M30_set_connect_code(int conn_id, const M30_connect_code *code, int await);
int M30_wifi_scan(int conn_id, int await);
int M30_remove_wifi(int conn_id, const M30_network_name *network, int await);
int M30_set_ipv4(int conn_id, const M30_ipv4_settings *settings, int await);
int M30_set_ipv6(int conn_id, const M30_ipv6_settings *settings, int await);
int M30_set_nameservers(int conn_id, const M30_nameservers *servers, int await);
int M30_set_wifi_autoconnect(int conn_id, const M30_autoconnect_request *request, int await);
int M30_send_assay_results(int conn_id, int await);
int M30_assay_calculation(int conn_id, int await);
int M30_identify_calculation(int conn_id, int await);
int M30_set_lookup_table(int conn_id, const int32_t *value, int await);
int M30_session_to_maintainer(int conn_id, int await);
int M30_get_nuclide_library(int conn_id, const int32_t *selector, M30_nuclib_entry *library,
                            int await);
int M30_set_nuclide_library(int conn_id, const M30_nuclib_entry *library, int await);
int M30_write_log(int conn_id, const M30_log_line *line, int await);
int M30_init_calib_methods(int conn_id, int await);  // 10 s
int M30_get_expanded_stab_spect(int conn_id, const int32_t *value,
                                M30_expanded_spectrum_data *spectrum, int await);
int M30_get_meas_state(int conn_id, M30_meas_state *state, int await);
int M30_set_remote_control(int conn_id, const int32_t *value, int await);
int M30_set_core_info(int conn_id, const M30_core_info_entry *info, int await);
int M30_set_assay_core_depth(int conn_id, const M30_core_depth *depth, int await);
int M30_get_virtual_components(int conn_id, const int32_t *value,
                               M30_virtual_components *components, int await);
int M30_set_virtual_components(int conn_id, const M30_virtual_components *components, int await);
int M30_update_cloud_assay_id(int conn_id, const M30_cloud_assay_id_request *request, int *result,
                              int await);  // 15 s
int M30_download_joblist_from_cloud(int conn_id, int await);
int M30_delete_cloud_records(int conn_id, int await);
int M30_bt_inquiry_start(int conn_id, int await);
int M30_bt_inquiry_stop(int conn_id, int await);
int M30_bt_inquiry_get_results(int conn_id, M30_bt_inquiry_results *results, int await);
int M30_bt_connect(int conn_id, const M30_bt_connect_request *request, int await);

// Recognition. The probe is the service get-serial (8007, time-out 100 ms) sent without
// awaiting. The test stores type MXX_TYPE_M30 and sets the attempt count to 3 whatever the frame
// holds, and accepts a get-serial answer whose serial starts with 'C'.
int M30_probe(int conn_id);
int M30_test_probe(int conn_id, MXX_frame *frame, int *device_type_out, int attempt);
