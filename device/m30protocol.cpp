#include "m30protocol.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "mxx/mxx.h"
#include "mxxdevice.h"

namespace {

// --- Event handlers: run on the reader thread, build a record and post it to the device ---

uint32_t payloadSize(const MXX_frame *frame) {
    uint16_t length = mxx_frame_length(frame);  // payload + check byte; 0 = no payload part
    return length ? length - 1u : 0u;
}

// Copies the payload into `out`; bytes the frame did not carry read as zero.
void copyPayload(const MXX_frame *frame, void *out, size_t size) {
    size_t n = std::min<size_t>(payloadSize(frame), size);
    std::memcpy(out, mxx_frame_payload(frame), n);
    std::memset(static_cast<char *>(out) + n, 0, size - n);
}

template <typename Record>
int recordHook(int, char *, MXX_frame *frame, void *user) {
    auto record = std::make_shared<Record>();
    copyPayload(frame, record.get(), sizeof(Record));
    MXXDevice::post(user, M30Protocol::kType, QVariant::fromValue(record));
    return 0;
}

// The on-the-fly results share the record type of the assay results; 1000 added to the first
// field tells them apart on the way to the device's thread.
int onflyAssayHook(int, char *, MXX_frame *frame, void *user) {
    auto record = std::make_shared<M30_assay_results>();
    copyPayload(frame, record.get(), sizeof(M30_assay_results));
    record->first = static_cast<uint16_t>(record->first + M30_ONFLY_ASSAY_OFFSET);
    MXXDevice::post(user, M30Protocol::kType, QVariant::fromValue(record));
    return 0;
}

// Events that carry one 32-bit value travel as a keyword and the value in decimal.
enum Keyword { Gamma20Hz, LightSensor, Alarms, Connman, CsStabResults, BtManager };
constexpr const char *kKeywords[] = {"gamma_20hz", "light_sensor",    "alarms",
                                     "connman",    "cs_stab_results", "bt_manager"};

template <Keyword K>
int keywordHook(int, char *, MXX_frame *frame, void *user) {
    uint32_t value;
    copyPayload(frame, &value, sizeof value);
    QStringList pair{QString::fromLatin1(kKeywords[K]), QString::number(value)};
    MXXDevice::post(user, M30Protocol::kType, QVariant(pair));
    return 0;
}

int spectrumHook(int, char *, MXX_frame *frame, void *user) {
    M30_spectrum_header h;
    copyPayload(frame, &h, sizeof h);
    // A channel count beyond what arrived is cut to the channels the payload holds.
    uint32_t size = payloadSize(frame);
    uint32_t arrived = size > sizeof h ? (size - sizeof h) / sizeof(int32_t) : 0;
    const uint32_t announced = h.channels;  // packed: read by value
    const uint32_t n = std::min(announced, arrived);
    const uint8_t *counts = mxx_frame_payload(frame) + sizeof h;
    Spectrum::DataType data(static_cast<qsizetype>(n));
    for (uint32_t i = 0; i < n; ++i) {
        int32_t v;
        std::memcpy(&v, counts + i * sizeof v, sizeof v);
        data[i] = v;
    }
    // Packed fields go by value: make_shared would bind references to them.
    auto s = std::make_shared<Spectrum>(data, uint64_t{h.live_time}, uint64_t{h.clock_time},
                                        unsigned{h.total_count}, unsigned{h.sequence_number},
                                        h.fwhm_cs137_x100 / 100.0f);
    // A value object without events: it belongs with the receivers, not this reader thread.
    if (auto *app = QCoreApplication::instance()) s->moveToThread(app->thread());
    s->setType(static_cast<unsigned>(M30_spectrum_type(h.kind)));
    s->setDose(h.dose);
    s->setNeutronsTotal(h.neutron_total);
    s->setGeigerTotal(h.geiger_total);
    s->setDRSum(h.dose_rate_sum);
    s->setCsCalibStatus(h.cs_calib_status);
    s->setCsCalibResult(h.cs_calib_result);
    s->setActSample(h.current_sample);
    s->setTotalSample(h.total_samples);
    s->setFinished(h.finished);
    MXXDevice::post(user, M30Protocol::kType, QVariant::fromValue(s));
    return 0;
}

struct Hook {
    uint16_t code;
    MXX_hook hook;
};
constexpr Hook kHooks[] = {
    {M30_EVENT_SPECTRUM, spectrumHook},
    {M30_EVENT_KEYBOARD, recordHook<M30_keyboard_data>},
    {M30_EVENT_TOTAL, recordHook<M30_total_data>},
    {M30_EVENT_TOTAL_20HZ, keywordHook<Gamma20Hz>},
    {M30_EVENT_PULSE, recordHook<M30_pulse_data>},
    {M30_EVENT_STATUS, recordHook<M30_status>},
    {M30_EVENT_LIGHT_SENSOR, keywordHook<LightSensor>},
    {M30_EVENT_ALARMS, keywordHook<Alarms>},
    {M30_EVENT_PROGRESS, recordHook<M30_progress_indication>},
    {M30_EVENT_CONNMAN, keywordHook<Connman>},
    {M30_EVENT_ASSAY_RESULTS, recordHook<M30_assay_results>},
    {M30_EVENT_ONFLY_ASSAY_RESULTS, onflyAssayHook},
    {M30_EVENT_IDENTIFY_RESULTS, recordHook<M30_identify_results>},
    {M30_EVENT_CS_STAB_RESULTS, keywordHook<CsStabResults>},
    {M30_EVENT_MESSAGE, recordHook<M30_message_event>},
    {M30_EVENT_BT_MANAGER, keywordHook<BtManager>},
};

template <typename Record>
std::shared_ptr<Record> recordOf(const QVariant &v) {
    if (v.metaType() != QMetaType::fromType<std::shared_ptr<Record>>()) return nullptr;
    return v.value<std::shared_ptr<Record>>();
}

template <size_t N>
void putText(char (&field)[N], const QString &text) {
    QByteArray utf8 = text.toUtf8();
    M30_put_text(field, std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

}  // namespace

M30Protocol::M30Protocol(QObject *parent) : Protocol(parent) {
    qRegisterMetaType<std::shared_ptr<Spectrum>>("std::shared_ptr<Spectrum>");
    qRegisterMetaType<std::shared_ptr<M30_spectrum_data>>("std::shared_ptr<M30_spectrum_data>");
    qRegisterMetaType<std::shared_ptr<M30_keyboard_data>>("std::shared_ptr<M30_keyboard_data>");
    qRegisterMetaType<std::shared_ptr<M30_total_data>>("std::shared_ptr<M30_total_data>");
    qRegisterMetaType<std::shared_ptr<M30_pulse_data>>("std::shared_ptr<M30_pulse_data>");
    qRegisterMetaType<std::shared_ptr<M30_status>>("std::shared_ptr<M30_status>");
    qRegisterMetaType<std::shared_ptr<M30_progress_indication>>(
        "std::shared_ptr<M30_progress_indication>");
    qRegisterMetaType<std::shared_ptr<M30_assay_results>>("std::shared_ptr<M30_assay_results>");
    qRegisterMetaType<std::shared_ptr<M30_identify_results>>(
        "std::shared_ptr<M30_identify_results>");
    qRegisterMetaType<std::shared_ptr<M30_message_event>>("std::shared_ptr<M30_message_event>");
}

void M30Protocol::bind(int connId, QThread *thread) {
    Protocol::bind(connId, thread);
    for (const Hook &h : kHooks)
        MXX_hook_async_event(connId, h.code, h.hook);
}

void M30Protocol::receiveData(QVariant &data) {
    if (data.metaType() == QMetaType::fromType<QStringList>()) {
        QStringList pair = data.toStringList();
        if (pair.size() < 2) return;
        int value = static_cast<int>(pair[1].toUInt());  // the bit pattern of the 32-bit value
        const QString &key = pair[0];
        if (key == QLatin1String(kKeywords[Alarms])) emit alarmData(value);
        if (key == QLatin1String(kKeywords[Gamma20Hz])) emit total20HzData(value);
        if (key == QLatin1String(kKeywords[LightSensor])) emit lightSensorMonoData(value);
        if (key == QLatin1String(kKeywords[CsStabResults])) emit csStabResultsData(value);
        if (key == QLatin1String(kKeywords[BtManager])) emit btManagerData(value);
        if (key == QLatin1String(kKeywords[Connman])) emit connmanData(value);
    } else if (auto t = recordOf<M30_total_data>(data)) {
        emit totalData(t);
    } else if (auto s = recordOf<Spectrum>(data)) {
        switch (s->type()) {
            case Spectrum::Live:
                emit spectrumData(s);
                break;
            case Spectrum::Assay:
                emit assaySpectrumData(s);
                break;
            case Spectrum::Identification:
                emit identSpectrumData(s);
                break;
            case Spectrum::CsStabilisation:
                emit csStabSpectrumData(s);
                break;
            case Spectrum::Accumulated:
                emit accumulatedSpectrumData(s);
                break;
            case Spectrum::BackgroundCalibration:
                emit bgCalibSpectrumData(s);
                break;
            default:
                break;
        }
    } else if (auto k = recordOf<M30_keyboard_data>(data)) {
        emit keyboardData(k);
    } else if (auto p = recordOf<M30_pulse_data>(data)) {
        emit pulseData(p);
    } else if (auto st = recordOf<M30_status>(data)) {
        emit statusData(st);
    } else if (auto pr = recordOf<M30_progress_indication>(data)) {
        emit progressData(pr);
    } else if (auto m = recordOf<M30_message_event>(data)) {
        emit messageData(m);
    } else if (auto a = recordOf<M30_assay_results>(data)) {
        uint16_t first = a->first;
        if (first < M30_ONFLY_ASSAY_OFFSET) {
            emit assayResultsData(a);
        } else {
            // A copy: the posted record is shared with every protocol of the device.
            auto onfly = std::make_shared<M30_assay_results>(*a);
            onfly->first = static_cast<uint16_t>(first - M30_ONFLY_ASSAY_OFFSET);
            emit onflyAssayResultsData(onfly);
        }
    } else if (auto i = recordOf<M30_identify_results>(data)) {
        emit identifyResultsData(i);
    }
}

// --- Commands ---

bool M30Protocol::emulateKey(int key) {
    int32_t v = key;
    return succeeded(M30_emulate_key(m_connId, &v, 1));
}

bool M30Protocol::setLeds(int leds) {
    uint32_t word = M30_led_word(leds);
    return succeeded(M30_set_leds(m_connId, &word, 1));
}

bool M30Protocol::getLeds() {
    return false;
}

bool M30Protocol::setParams(M30_params &params) {
    return succeeded(M30_set_params(m_connId, &params, 1));
}

bool M30Protocol::getParams(M30_params &params) {
    return succeeded(M30_get_params(m_connId, &params, 1));
}

bool M30Protocol::getStatus(M30_status &status) {
    return succeeded(M30_get_status(m_connId, &status, 1));
}

bool M30Protocol::powerOff() {
    return succeeded(M30_power_off(m_connId, 1));
}

bool M30Protocol::restart() {
    return succeeded(M30_restart(m_connId, 1));
}

bool M30Protocol::welcome() {
    return succeeded(M30_welcome(m_connId, 1));
}

bool M30Protocol::setupDisplay(int setting) {
    int32_t v = setting;
    return succeeded(M30_setup_display(m_connId, &v, 1));
}

bool M30Protocol::clearAccumulatedSpectrum() {
    return succeeded(M30_clear_accumulated_spectrum(m_connId, 1));
}

bool M30Protocol::stopAccumulatedSpectrum() {
    return succeeded(M30_stop_accumulated_spectrum(m_connId, 1));
}

bool M30Protocol::startAccumulatedSpectrum(int value) {
    int32_t v = value;
    return succeeded(M30_start_accumulated_spectrum(m_connId, &v, 1));
}

bool M30Protocol::storeAssay() {
    return succeeded(M30_store_assay(m_connId, 1));
}

bool M30Protocol::storeIdent() {
    return succeeded(M30_store_ident(m_connId, 1));
}

bool M30Protocol::getDateTime(M30_date_time &time) {
    return succeeded(M30_get_date_time(m_connId, &time, 1));
}

bool M30Protocol::setDateTime(M30_date_time &time) {
    return succeeded(M30_set_date_time(m_connId, &time, 1));
}

bool M30Protocol::getVersions(M30_versions &versions) {
    return succeeded(M30_get_versions(m_connId, &versions, 1));
}

bool M30Protocol::setGpsPower(int state) {
    int32_t v = state;
    return succeeded(M30_set_gps_power(m_connId, &v, 1));
}

bool M30Protocol::getGpsPower(int &state) {
    int32_t v = state;
    if (!succeeded(M30_get_gps_power(m_connId, &v, 1))) return false;
    state = v;
    return true;
}

bool M30Protocol::recordSurvey(int on) {
    int32_t v = on;
    return succeeded(M30_record_survey(m_connId, &v, 1));
}

bool M30Protocol::reaquireBg() {
    return succeeded(M30_reacquire_background(m_connId, 1));
}

bool M30Protocol::confirmAlarms(int value) {
    int32_t v = value;
    return succeeded(M30_confirm_alarms(m_connId, &v, 1));
}

bool M30Protocol::startRecordAudio(int &value) {
    int32_t v = value;
    if (!succeeded(M30_start_record_audio(m_connId, &v, 1))) return false;
    value = v;
    return true;
}

bool M30Protocol::stopRecordAudio() {
    return succeeded(M30_stop_record_audio(m_connId, 1));
}

bool M30Protocol::playAudio(int value) {
    int32_t v = value;
    return succeeded(M30_play_audio(m_connId, &v, 1));
}

bool M30Protocol::stopAudio() {
    return succeeded(M30_stop_audio(m_connId, 1));
}

bool M30Protocol::setAdcParameter(int id, int value) {
    M30_adc_param p{id, value};
    return succeeded(M30_set_adc_param(m_connId, &p, 1));
}

bool M30Protocol::assignNote(int a, int b) {
    M30_note_assignment n{a, b};
    return succeeded(M30_assign_note(m_connId, &n, 1));
}

bool M30Protocol::getMotionSensorData(M30_motion_sensor &data) {
    return succeeded(M30_get_motion_sensor_data(m_connId, &data, 1));
}

bool M30Protocol::getEventFilter(int &mask) {
    M30_event_filter f{};
    f.mask = mask;
    if (!succeeded(M30_get_event_filter(m_connId, &f, 1))) return false;
    mask = f.mask;
    return true;
}

bool M30Protocol::setEventFilter(int mask) {
    M30_event_filter f{};
    f.mask = mask;
    return succeeded(M30_set_event_filter(m_connId, &f, 1));
}

bool M30Protocol::setInhibition(int a, int b) {
    M30_inhibition i{static_cast<uint16_t>(a), static_cast<uint16_t>(b)};
    return succeeded(M30_set_inhibition(m_connId, &i, 1));
}

bool M30Protocol::getInhitibion(int &a, int &b) {
    M30_inhibition i{static_cast<uint16_t>(a), static_cast<uint16_t>(b)};
    if (!succeeded(M30_get_inhibition(m_connId, &i, 1))) return false;
    a = i.first;
    b = i.second;
    return true;
}

bool M30Protocol::wifiScan() {
    return succeeded(M30_wifi_scan(m_connId, 1));
}

bool M30Protocol::setWifi(int value) {
    int32_t v = value;
    return succeeded(M30_set_wifi(m_connId, &v, 1));
}

bool M30Protocol::getUsbGadgetList(M30_usb_gadget_list *list) {
    return succeeded(M30_get_usb_gadget_list(m_connId, list, 1));
}

bool M30Protocol::getEthernetList(M30_ethernet_list *list) {
    return succeeded(M30_get_ethernet_list(m_connId, list, 1));
}

bool M30Protocol::connectWifi(const QString &name, int value) {
    M30_wifi_connect_request r{};
    r.value = static_cast<uint16_t>(value);
    putText(r.network, name);
    return succeeded(M30_connect_wifi(m_connId, &r, 1));
}

bool M30Protocol::setConnectCode(M30_connect_code *code) {
    return succeeded(M30_set_connect_code(m_connId, code, 1));
}

bool M30Protocol::setIpv4(const QString &a, const QString &b, const QString &c, const QString &d,
                          const QString &e) {
    M30_ipv4_settings s{};
    putText(s.first, a);
    putText(s.second, b);
    putText(s.third, c);
    putText(s.fourth, d);
    putText(s.fifth, e);
    return succeeded(M30_set_ipv4(m_connId, &s, 1));
}

bool M30Protocol::setIpv6(const QString &a, const QString &b, const QString &c, const QString &d,
                          const QString &e) {
    M30_ipv6_settings s{};
    putText(s.first, a);
    putText(s.second, b);
    putText(s.third, c);
    putText(s.fourth, d);
    putText(s.fifth, e);
    return succeeded(M30_set_ipv6(m_connId, &s, 1));
}

bool M30Protocol::setNameServers(const QString &first, const QString &second) {
    QByteArray f = first.toUtf8(), s = second.toUtf8();
    M30_nameservers r = M30_make_nameservers(std::string_view(f.constData(), f.size()),
                                             std::string_view(s.constData(), s.size()));
    return succeeded(M30_set_nameservers(m_connId, &r, 1));
}

bool M30Protocol::setAutoconnect(const QString &name, int value) {
    M30_autoconnect_request r{};
    putText(r.network, name);
    r.value = static_cast<uint16_t>(value);
    return succeeded(M30_set_wifi_autoconnect(m_connId, &r, 1));
}

bool M30Protocol::getWifiIpv4List(const QString &name, M30_wifi_ipv4_list *list) {
    M30_network_name n;
    putText(n.name, name);
    return succeeded(M30_get_wifi_ipv4_list(m_connId, &n, list, 1));
}

bool M30Protocol::getWifiIpv6List(const QString &name, M30_wifi_ipv6_list *list) {
    M30_network_name n;
    putText(n.name, name);
    return succeeded(M30_get_wifi_ipv6_list(m_connId, &n, list, 1));
}

bool M30Protocol::removeWifi(const QString &name) {
    M30_network_name n;
    putText(n.name, name);
    return succeeded(M30_remove_wifi(m_connId, &n, 1));
}

bool M30Protocol::writeLog(const QString &line) {
    M30_log_line l;
    putText(l.text, line);
    return succeeded(M30_write_log(m_connId, &l, 1));
}

bool M30Protocol::setGuiSerial(const QString &serial) {
    M30_gui_serial s;
    putText(s.serial, serial);
    return succeeded(M30_set_gui_serial(m_connId, &s, 1));
}

namespace {

// The data bytes a chunk answer really carried: its length field may claim no more than the
// payload that arrived, and an answer with no payload or one that did not fit is no chunk at
// all. -1 for anything but a chunk.
int64_t chunkLength(const M30_txbuf_chunk &chunk) {
    const int copied = MXX_last_cmd_outcome().copied;
    constexpr int header = offsetof(M30_txbuf_chunk, data);
    if (copied < header) return -1;
    const uint32_t n = chunk.length;
    if (n > M30_TXBUF_CHUNK_MAX || n > static_cast<uint32_t>(copied - header)) return -1;
    return n;
}

}  // namespace

bool M30Protocol::txBuffDownload(int kind, unsigned subKind, int v1, int v2, int v3, int v4,
                                 int *r1, int *r2, int *r3, char *buffer, int capacity,
                                 int *length) {
    const int id = m_connId;
    if (length) *length = 0;
    auto setResults = [&](int a, int b, int c) {
        if (r1) *r1 = a;
        if (r2) *r2 = b;
        if (r3) *r3 = c;
    };
    setResults(0, 0, 0);
    const int32_t selector = 0;
    M30_txbuf_info info{};
    if (!buffer || capacity < 0 || !succeeded(M30_tx_buff_info(id, &selector, &info, 1)))
        return false;
    M30_txbuf_prepare_request request{};
    request.kind = static_cast<uint32_t>(kind);
    request.sub_kind = subKind;
    request.args[0] = v1;
    request.args[1] = v2;
    request.args[2] = v3;
    request.args[3] = v4;
    M30_txbuf_prepare_response prepared{};
    if (!succeeded(M30_tx_buff_prepare(id, &request, &prepared, 1))) return false;
    setResults(prepared.results[0], prepared.results[1], prepared.results[2]);

    auto chunk = std::make_unique<M30_txbuf_chunk>();
    const uint32_t handle = info.handle;
    uint32_t received = 0;
    for (;;) {
        M30_txbuf_chunk_request get{received, handle, subKind};
        int result = -1;
        if (!succeeded(M30_tx_buff_get(id, &get, chunk.get(), &result, 1)) || result != 0)
            return false;
        const int64_t n = chunkLength(*chunk);
        if (n < 0 || n > static_cast<int64_t>(capacity) - received) return false;
        if (n == 0) break;
        std::memcpy(buffer + received, chunk->data, static_cast<size_t>(n));
        received += static_cast<uint32_t>(n);
    }
    if (length) *length += static_cast<int>(received);
    return true;
}

bool M30Protocol::deleteRecord(int a, int b, int c, int d) {
    M30_delete_record_request r{a, b, static_cast<uint16_t>(c), static_cast<uint16_t>(d)};
    return succeeded(M30_delete_record_id(m_connId, &r, 1));
}

bool M30Protocol::prepareNoteDB(int value, int &answer) {
    int32_t v = value, a = answer;
    if (!succeeded(M30_prepare_note_db(m_connId, &v, &a, 1))) return false;
    answer = a;
    return true;
}

bool M30Protocol::checkCalibDate(int value, M30_check_calib *check) {
    int32_t v = value;
    return succeeded(M30_check_calib_date(m_connId, &v, check, 1));
}

bool M30Protocol::getMemoryUsage(M30_memory_usage &usage) {
    return succeeded(M30_get_memory_usage(m_connId, &usage, 1));
}

bool M30Protocol::setDefaultParams() {
    return succeeded(M30_set_default_params(m_connId, 1));
}

bool M30Protocol::loadDefaultParams() {
    return succeeded(M30_load_default_params(m_connId, 1));
}

bool M30Protocol::loadGammaBackupParams(int &result) {
    return succeeded(M30_load_gamma_backup_params(m_connId, &result, 1));
}

bool M30Protocol::startCsStab() {
    return succeeded(M30_start_cs_stab_acc_spectrum(m_connId, 1));
}

bool M30Protocol::stopCsStab() {
    return succeeded(M30_stop_cs_stab_acc_spectrum(m_connId, 1));
}

bool M30Protocol::getCalibrationMethodNames(M30_calibration_method_name &names, int &result) {
    return succeeded(M30_get_calibration_method_names(m_connId, &names, &result, 1));
}

bool M30Protocol::getCalibMethods(const QString &name, M30_calibration_methods &methods,
                                  int &result) {
    M30_method_name n;
    putText(n.name, name);
    return succeeded(M30_get_calibration_methods(m_connId, &n, &methods, &result, 1));
}

bool M30Protocol::saveCalibMethods(M30_calibration_methods &methods, int &result) {
    return succeeded(M30_save_calibration_methods(m_connId, &methods, &result, 1));
}

bool M30Protocol::saveCalibSpect(const QString &name, int a, int b, int &result) {
    M30_calib_spectrum_key key{};
    key.first = static_cast<uint16_t>(a);
    putText(key.name, name);
    key.second = static_cast<uint16_t>(b);
    return succeeded(M30_save_calibration_spect(m_connId, &key, &result, 1));
}

bool M30Protocol::uploadCalibSpect(const M30_spectrum_data &spectrum, const QString &name, int a,
                                   int b, int &result) {
    // Beyond the key the layout is the instrument's; ours: the spectrum's header and its channels
    // after the name, then b. The application never uploads calibration spectra.
    static_assert(sizeof(M30_spectrum_data) + sizeof(uint16_t) <=
                  sizeof(M30_calib_spectrum::bytes));
    M30_calib_spectrum s{};
    s.first = static_cast<uint16_t>(a);
    putText(s.name, name);
    std::memcpy(s.bytes, &spectrum, sizeof spectrum);
    mxx_put16(s.bytes + sizeof spectrum, static_cast<uint16_t>(b));
    return succeeded(M30_upload_calibration_spectrum(m_connId, &s, &result, 1));
}

bool M30Protocol::downloadCalibSpect(int x, int a, int b, M30_calib_spectrum &spectrum,
                                     int &result) {
    M30_calib_spectrum_key key{};
    key.first = static_cast<uint16_t>(a);
    key.second = static_cast<uint16_t>(x);
    key.third = static_cast<uint16_t>(b);
    return succeeded(M30_download_calibration_spectrum(m_connId, &key, &spectrum, &result, 1));
}

bool M30Protocol::saveCalibLog(int value, const QString &text) {
    M30_calib_log log{};
    log.marker = M30_CALIB_LOG_MARKER;
    log.value = value;
    putText(log.text, text);
    return succeeded(M30_save_calib_log(m_connId, &log, 1));
}

bool M30Protocol::startIdent(int value) {
    int32_t v = value;
    return succeeded(M30_start_ident_acc_spectrum(m_connId, &v, 1));
}

bool M30Protocol::stopIdent() {
    return succeeded(M30_stop_ident_acc_spectrum(m_connId, 1));
}

bool M30Protocol::startAssay() {
    return succeeded(M30_start_assay_acc_spectrum(m_connId, 1));
}

bool M30Protocol::stopAssay() {
    return succeeded(M30_stop_assay_acc_spectrum(m_connId, 1));
}

bool M30Protocol::requestAssayResult() {
    return succeeded(M30_send_assay_results(m_connId, 1));
}

bool M30Protocol::setLinearizationSpect(int value) {
    int32_t v = value;
    return succeeded(M30_set_linearization_spect(m_connId, &v, 1));
}

bool M30Protocol::linearizate() {
    return succeeded(M30_linearizate(m_connId, 1));
}

bool M30Protocol::setLookupTable(int value) {
    int32_t v = value;
    return succeeded(M30_set_lookup_table(m_connId, &v, 1));
}

bool M30Protocol::setHv(int value) {
    int32_t v = value;
    return succeeded(M30_set_hv(m_connId, &v, 1));
}

bool M30Protocol::setBgStab(int value) {
    int32_t v = value;
    return succeeded(M30_set_bg_stab(m_connId, &v, 1));
}

bool M30Protocol::setRemoteControl(int value) {
    int32_t v = value;
    return succeeded(M30_set_remote_control(m_connId, &v, 1));
}

bool M30Protocol::sessionToMaintainer() {
    return succeeded(M30_session_to_maintainer(m_connId, 1));
}

bool M30Protocol::assayCalculation() {
    return succeeded(M30_assay_calculation(m_connId, 1));
}

bool M30Protocol::identifyCalculation() {
    return succeeded(M30_identify_calculation(m_connId, 1));
}

bool M30Protocol::initCalibMethods() {
    return succeeded(M30_init_calib_methods(m_connId, 1));
}

bool M30Protocol::setNuclideLibrary(M30_nuclib_entry *library) {
    return succeeded(M30_set_nuclide_library(m_connId, library, 1));
}

bool M30Protocol::getNuclideLibrary(M30_nuclib_entry *library, int selector) {
    int32_t v = selector;
    return succeeded(M30_get_nuclide_library(m_connId, &v, library, 1));
}

bool M30Protocol::getExpandedStabSpect(int value, M30_expanded_spectrum_data *spectrum) {
    int32_t v = value;
    return succeeded(M30_get_expanded_stab_spect(m_connId, &v, spectrum, 1));
}

bool M30Protocol::setAssayCoreDepth(float depth) {
    M30_core_depth d{};
    d.depth = depth;
    return succeeded(M30_set_assay_core_depth(m_connId, &d, 1));
}

bool M30Protocol::setCoreInfo(M30_core_info_entry *info) {
    return succeeded(M30_set_core_info(m_connId, info, 1));
}

bool M30Protocol::getVirtualComponents(int value, M30_virtual_components *components) {
    int32_t v = value;
    return succeeded(M30_get_virtual_components(m_connId, &v, components, 1));
}

bool M30Protocol::setVirtualComponents(M30_virtual_components *components) {
    return succeeded(M30_set_virtual_components(m_connId, components, 1));
}

bool M30Protocol::updateCloudAssayId(int a, int b, int c, int *result) {
    M30_cloud_assay_id_request r{};
    r.values[0] = a;
    r.values[1] = b;
    r.values[2] = c;
    return succeeded(M30_update_cloud_assay_id(m_connId, &r, result, 1));
}

bool M30Protocol::downloadJoblistFromCloud() {
    return succeeded(M30_download_joblist_from_cloud(m_connId, 1));
}

bool M30Protocol::deleteCloudRecords() {
    return succeeded(M30_delete_cloud_records(m_connId, 1));
}

bool M30Protocol::btInquiryStart() {
    return succeeded(M30_bt_inquiry_start(m_connId, 1));
}

bool M30Protocol::btInquiryStop() {
    return succeeded(M30_bt_inquiry_stop(m_connId, 1));
}

bool M30Protocol::btInquiryResults(M30_bt_inquiry_results *results) {
    return succeeded(M30_bt_inquiry_get_results(m_connId, results, 1));
}

bool M30Protocol::btConnect(int value, const char *address) {
    M30_bt_connect_request r{};
    r.value = value;
    if (address) M30_put_text(r.address, std::string_view(address, strnlen(address, 32)));
    return succeeded(M30_bt_connect(m_connId, &r, 1));
}
