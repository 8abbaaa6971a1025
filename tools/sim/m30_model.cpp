#include "m30_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>

#include "mxx/m30.h"

namespace sim {

namespace {

using Bytes = std::vector<uint8_t>;

template <typename Record>
Bytes bytes_of(const Record &r) {
    auto *p = reinterpret_cast<const uint8_t *>(&r);
    return Bytes(p, p + sizeof r);
}

template <typename Record>
Record record_of(const Bytes &bytes) {
    Record r{};
    if (!bytes.empty()) std::memcpy(&r, bytes.data(), std::min(bytes.size(), sizeof r));
    return r;
}

int32_t int_of(const Bytes &bytes) {
    return record_of<int32_t>(bytes);
}

Bytes block(size_t size, std::string_view text = {}) {
    Bytes b(size, 0);
    std::copy_n(text.begin(), std::min(size, text.size()), b.begin());
    return b;
}

std::optional<Answer> ok(const Command &c, Bytes payload = {}) {
    return Answer{0, c.param, 0, std::move(payload)};
}

std::optional<Answer> failed(const Command &c) {
    return Answer{0, c.param, kFailStatus, {}};
}

// Settings the host reads back as it wrote them: the get command, the set command, the size.
struct SettingRow {
    uint16_t get, set;
    size_t size;
};
const SettingRow kSettings[] = {
    {M30_CMD_GET_EVENT_FILTER, M30_CMD_SET_EVENT_FILTER, sizeof(M30_event_filter)},
    {M30_CMD_GET_INHIBITION, M30_CMD_SET_INHIBITION, sizeof(M30_inhibition)},
    {M30_CMD_GET_PARAMS, M30_CMD_SET_PARAMS, sizeof(M30_params)},
    {M30_CMD_GET_GPS_POWER, M30_CMD_SET_GPS_POWER, sizeof(int32_t)},
    {M30_CMD_GET_LEDS, M30_CMD_SET_LEDS, sizeof(uint32_t)},
    {M30_CMD_GET_VIRTUAL_COMPONENTS, M30_CMD_SET_VIRTUAL_COMPONENTS,
     sizeof(M30_virtual_components)},
    {M30_CMD_GET_NUCLIDE_LIBRARY, M30_CMD_SET_NUCLIDE_LIBRARY, sizeof(M30_nuclib_entry)},
    {M30_CMD_GET_CALIBRATION_METHODS, M30_CMD_SAVE_CALIBRATION_METHODS,
     sizeof(M30_calibration_methods)},
    {M30_CMD_DOWNLOAD_CALIBRATION_SPECTRUM, M30_CMD_UPLOAD_CALIBRATION_SPECTRUM,
     sizeof(M30_calib_spectrum)},
    {M17_CMD_GET_MODEL_REV, M17_CMD_SET_MODEL_REV, sizeof(M17_model_rev)},
};

// Commands that only hand the instrument a value of a fixed size; it keeps the last one.
struct SetRow {
    uint16_t code;
    size_t size;
};
const SetRow kSets[] = {
    {M30_CMD_SET_GUI_SERIAL, sizeof(M30_gui_serial)},
    {M30_CMD_SETUP_DISPLAY, 4},
    {M30_CMD_SET_BG_STAB, 4},
    {M30_CMD_CONFIRM_ALARMS, 4},
    {M30_CMD_ASSIGN_NOTE, sizeof(M30_note_assignment)},
    {M30_CMD_SAVE_CALIB_LOG, sizeof(M30_calib_log)},
    {M30_CMD_START_IDENT_ACC_SPECTRUM, 4},
    {M30_CMD_PLAY_AUDIO, 4},
    {M30_CMD_SAVE_CALIBRATION_SPECT, sizeof(M30_calib_spectrum_key)},
    {M30_CMD_SET_LINEARIZATION_SPECT, 4},
    {M30_CMD_SET_HV, 4},
    {M30_CMD_SET_ADC_PARAM, sizeof(M30_adc_param)},
    {M30_CMD_CONNECT_WIFI, sizeof(M30_wifi_connect_request)},
    {M30_CMD_SET_WIFI, 4},
    {M30_CMD_SET_CONNECT_CODE, sizeof(M30_connect_code)},
    {M30_CMD_REMOVE_WIFI, sizeof(M30_network_name)},
    {M30_CMD_SET_IPV4, sizeof(M30_ipv4_settings)},
    {M30_CMD_SET_IPV6, sizeof(M30_ipv6_settings)},
    {M30_CMD_SET_NAMESERVERS, sizeof(M30_nameservers)},
    {M30_CMD_SET_WIFI_AUTOCONNECT, sizeof(M30_autoconnect_request)},
    {M30_CMD_SET_LOOKUP_TABLE, 4},
    {M30_CMD_WRITE_LOG, sizeof(M30_log_line)},
    {M30_CMD_SET_REMOTE_CONTROL, 4},
    {M30_CMD_SET_CORE_INFO, sizeof(M30_core_info_entry)},
    {M30_CMD_SET_ASSAY_CORE_DEPTH, sizeof(M30_core_depth)},
    {M30_CMD_UPDATE_CLOUD_ASSAY_ID, sizeof(M30_cloud_assay_id_request)},
    {M30_CMD_BT_CONNECT, sizeof(M30_bt_connect_request)},
    {M17_CMD_FLASH_FW, sizeof(M17_flash_request)},
};

// Read-only records: zeroes with a text at the start where the record has one to show.
struct BlockRow {
    uint16_t code;
    size_t size;
    std::string_view text;
};
const BlockRow kBlocks[] = {
    {M30_CMD_CHECK_CALIB_DATE, sizeof(M30_check_calib), "2026-11-30"},
    {M30_CMD_START_RECORD_AUDIO, 4, "\x01"},
    {M30_CMD_PREPARE_NOTE_DB, 4, "\x01"},
    {M30_CMD_GET_CALIBRATION_METHOD_NAMES, sizeof(M30_calibration_method_name), "Factory"},
    {M30_CMD_GET_MOTION_SENSOR_DATA, sizeof(M30_motion_sensor), ""},
    {M30_CMD_GET_ETHERNET_LIST, sizeof(M30_ethernet_list), "eth0"},
    {M30_CMD_GET_USB_GADGET_LIST, sizeof(M30_usb_gadget_list), "usb0"},
    {M30_CMD_GET_WIFI_IPV4_LIST, sizeof(M30_wifi_ipv4_list), "192.168.4.1"},
    {M30_CMD_GET_WIFI_IPV6_LIST, sizeof(M30_wifi_ipv6_list), "fe80::1"},
    {M30_CMD_GET_EXPANDED_STAB_SPECT, sizeof(M30_expanded_spectrum_data), ""},
    {M30_CMD_GET_MEAS_STATE, sizeof(M30_meas_state), "\x01"},
    {M30_CMD_BT_INQUIRY_GET_RESULTS, sizeof(M30_bt_inquiry_results), ""},
};

// Commands whose work the simulation does not model: they succeed and change nothing.
const uint16_t kActions[] = {
    M30_CMD_REACQUIRE_BACKGROUND,
    M30_CMD_SET_DEFAULT_PARAMS,
    M30_CMD_LOAD_GAMMA_BACKUP_PARAMS,
    M30_CMD_START_CS_STAB_ACC_SPECTRUM,
    M30_CMD_STOP_CS_STAB_ACC_SPECTRUM,
    M30_CMD_START_ASSAY_ACC_SPECTRUM,
    M30_CMD_STOP_ASSAY_ACC_SPECTRUM,
    M30_CMD_STORE_ASSAY,
    M30_CMD_STORE_IDENT,
    M30_CMD_STOP_IDENT_ACC_SPECTRUM,
    M30_CMD_STOP_RECORD_AUDIO,
    M30_CMD_STOP_AUDIO,
    M30_CMD_LINEARIZATE,
    M30_CMD_WELCOME,
    M30_CMD_WIFI_SCAN,
    M30_CMD_ASSAY_CALCULATION,
    M30_CMD_IDENTIFY_CALCULATION,
    M30_CMD_SESSION_TO_MAINTAINER,
    M30_CMD_INIT_CALIB_METHODS,
    M30_CMD_DOWNLOAD_JOBLIST_FROM_CLOUD,
    M30_CMD_DELETE_CLOUD_RECORDS,
    M30_CMD_BT_INQUIRY_START,
    M30_CMD_BT_INQUIRY_STOP,
};

// Events sent now and then besides status, totals and spectra: code and period.
struct Occasional {
    uint16_t code;
    int period_ms;
};
const Occasional kOccasional[] = {
    {M30_EVENT_TOTAL_20HZ, 2000},       {M30_EVENT_ALARMS, 5000},
    {M30_EVENT_LIGHT_SENSOR, 7000},     {M30_EVENT_CONNMAN, 15000},
    {M30_EVENT_BT_MANAGER, 20000},      {M30_EVENT_PROGRESS, 25000},
    {M30_EVENT_CS_STAB_RESULTS, 30000}, {M30_EVENT_ONFLY_ASSAY_RESULTS, 40000},
    {M30_EVENT_PULSE, 45000},           {M30_EVENT_IDENTIFY_RESULTS, 50000},
    {M30_EVENT_MESSAGE, 60000},
};

constexpr int kChannels = M30_SPECTRUM_MAX_CHANNELS;
constexpr double kKevPerChannel = 3;
constexpr double kBackground = 70;  // nGy/h, the field's mean away from hot spots
constexpr uint32_t kFirstHandle = 0x100;
constexpr int kOutageEvery = 120, kOutageLength = 3;
// Kinds of transfer buffer and what their prepare arguments mean.
constexpr uint32_t kListKind = 1;     // args: first position (1-based), at most this many ids
constexpr uint32_t kRecordKind = 3;   // args: record id
constexpr uint32_t kPictureKind = 8;  // sub-kind 1: the display as PNG
constexpr uint32_t kClockReset = 946684800;  // 2000-01-01, where a reset clock starts
constexpr uint16_t kRareKinds[] = {2, 3, 5, 6};

bool hits(int every, int32_t id) {
    return every > 0 && id % every == 0;
}

void put32(Bytes &bytes, size_t at, uint32_t value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

int64_t system_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct M30Model::Shared {
    Shared(Instrument &i, const M30Options &o)
        : instrument(i), options(o), walk(o.walk), memory(walk, history_of(o)) {}

    static HistoryOptions history_of(const M30Options &o) {
        HistoryOptions h = o.history;
        if (h.end_time == 0) h.end_time = system_seconds() - 60;
        h.unit = o.unit;
        return h;
    }

    // The rows live in the instrument, so it outlives every call that comes from them.
    Instrument &instrument;
    const M30Options options;
    const Walk walk;

    mutable std::mutex mutex;  // guards everything below
    SurveyMemory memory;
    Display display;
    std::map<uint16_t, Bytes> settings;  // by the code that reads them back, or the set code
    int64_t clock_offset = 0;            // instrument clock minus the system clock, seconds
    uint64_t tick = 0;                   // measurements taken
    uint16_t spectrum_sequence = 0;
    Reading last;
    bool last_fix = false;
    double dose_total = 0;  // nGy, over the walk so far
    bool accumulating = false;
    std::vector<int64_t> accumulated = std::vector<int64_t>(kChannels);
    std::map<uint16_t, Bytes> flash;  // external flash pages written by the host
    uint32_t handle = kFirstHandle - 1;
    struct Transfer {
        bool ready = false;
        bool unreadable = false;  // every chunk request fails
        uint32_t handle = 0;
        Bytes bytes;
    } transfer;

    // --- helpers; the caller holds the mutex ---

    double interval() const { return 1 / options.rate_hz; }
    Reading reading(uint64_t tick) const {
        const double seconds = static_cast<double>(tick) * interval();
        std::optional<double> scripted;
        if (!options.dose_profile.empty())
            scripted =
                nanogray_of(dose_profile_at(options.dose_profile, seconds * 1000), options.unit);
        return read_detector(walk, seconds, interval(), mix(0x7071C, tick), scripted);
    }
    int64_t now() const { return system_seconds() + clock_offset; }
    int32_t setting_int(uint16_t code) const { return int_of(settings.at(code)); }
    // Bit n of the filter mask lets events 10002 + n through (10018 shares bit 0 with spectra).
    bool enabled(uint16_t code) const {
        int32_t mask = record_of<M30_event_filter>(settings.at(M30_CMD_GET_EVENT_FILTER)).mask;
        return (mask >> ((code - M30_EVENT_SPECTRUM) % 16)) & 1;
    }

    void init_settings() {
        for (const SettingRow &row : kSettings)
            settings[row.get] = Bytes(row.size, 0);
        settings[M30_CMD_GET_GPS_POWER] = bytes_of(int32_t{1});
        settings[M30_CMD_GET_LEDS] = bytes_of(M30_led_word(0));
        settings[M30_CMD_GET_PARAMS] = default_params();
        settings[M17_CMD_GET_MODEL_REV] = bytes_of(M17_model_rev{3});
    }
    static Bytes default_params() { return block(sizeof(M30_params), "M30 defaults 1"); }

    // What an instrument forgets when it starts: the host's event filter, a survey in progress,
    // spectrum accumulation, the menu and a prepared transfer. Stored records stay.
    void power_up() {
        settings[M30_CMD_GET_EVENT_FILTER] = bytes_of(M30_event_filter{});
        memory.stop();
        accumulating = false;
        display = Display{};
        transfer = Transfer{};
    }

    // One reading of the detector and the GPS. A survey being recorded keeps it whether or not
    // anybody is linked or listening.
    void measure() {
        Reading r = reading(tick);
        bool fix = setting_int(M30_CMD_GET_GPS_POWER) != 0 &&
                   !(options.gps_outages && tick % kOutageEvery >= kOutageEvery - kOutageLength);
        dose_total += r.dose_rate * interval() / 3600;
        last = r;
        last_fix = fix;
        ++tick;
        if (!memory.recording()) return;
        SurveyPoint p{fix,
                      static_cast<float>(r.position.latitude),
                      static_cast<float>(r.position.longitude),
                      static_cast<float>(r.position.altitude),
                      r.count_rate,
                      static_cast<float>(dose_in_unit(r.dose_rate, options.unit)),
                      0};
        memory.add_point(p, static_cast<uint32_t>(now()));
    }

    // The error word of the last reading: the schedule's latest step by then (in this cycle).
    uint16_t error_word() const {
        double at_ms = static_cast<double>(tick - 1) * interval() * 1000;
        if (options.error_cycle_ms > 0) at_ms = std::fmod(at_ms, options.error_cycle_ms);
        uint16_t flags = options.error_flags;
        for (const ErrorStep &step : options.error_schedule)
            if (step.at_ms <= at_ms) flags = step.flags;
        return flags;
    }

    Bytes status() const {
        M30_status s{};
        s.error_flags = error_word();
        s.survey_recording = memory.recording() ? 1 : 0;
        s.gps_latitude = static_cast<float>(last.position.latitude);
        s.gps_longitude = static_cast<float>(last.position.longitude);
        s.gps_altitude = static_cast<float>(last.position.altitude);
        s.gps_valid = last_fix ? 1 : 0;
        return bytes_of(s);
    }

    Bytes totals() const {
        M30_total_data t{};
        t.count_rate = last.count_rate;
        t.dose_rate = static_cast<float>(dose_in_unit(last.dose_rate, options.unit));
        t.dose_unit = static_cast<float>(options.unit);
        return bytes_of(t);
    }

    // What hosts meet in the field now and then: the calibration, assay, background and
    // identification spectra, and the event 10008 that they do not hook.
    void send_rare() {
        uint16_t kind = kRareKinds[(spectrum_sequence / 2) % std::size(kRareKinds)];
        instrument.send_event(M30_EVENT_SPECTRUM, spectrum(kind, nullptr));
        if (enabled(M30_EVENT_UNUSED))
            instrument.send_event(M30_EVENT_UNUSED, bytes_of(uint32_t{spectrum_sequence}));
    }

    // A scintillator's spectrum over the last period: a falling continuum, the K-40 line of the
    // background and the Cs-137 line where a hot spot raises the rate.
    Bytes spectrum(uint16_t wire_kind, const std::vector<int64_t> *sums) {
        double seconds = options.spectrum_period_ms / 1000.0;
        Random random(mix(walk.options().seed, 0x5BEC7, spectrum_sequence));
        std::vector<int32_t> counts(kChannels);
        if (sums) {
            for (int i = 0; i < kChannels; ++i)
                counts[i] = static_cast<int32_t>(std::min<int64_t>((*sums)[i], INT32_MAX));
        } else {
            double cs =
                last.dose_rate > kBackground ? (last.dose_rate - kBackground) / last.dose_rate : 0;
            std::vector<double> shape(kChannels);
            double sum = 0;
            for (int i = 0; i < kChannels; ++i) {
                double e = (i + 0.5) * kKevPerChannel;
                auto line = [e](double at, double height) {
                    double sigma = 0.03 * at;
                    return height * std::exp(-(e - at) * (e - at) / (2 * sigma * sigma));
                };
                shape[i] =
                    (e > 30 ? std::exp(-e / 350) : 0) + line(1461, 0.02) + line(662, 0.3 * cs);
                sum += shape[i];
            }
            double total = last.count_rate * seconds;
            for (int i = 0; i < kChannels; ++i) {
                counts[i] = static_cast<int32_t>(random.poisson(total * shape[i] / sum));
                if (accumulating && wire_kind == 1) accumulated[i] += counts[i];
            }
        }
        int64_t total = 0;
        for (int32_t c : counts)
            total += c;
        M30_spectrum_header h{};
        h.kind = wire_kind;
        h.channels = kChannels;
        h.fwhm_cs137_x100 = 710;  // 7.1 %
        h.sequence_number = spectrum_sequence;
        h.dose_rate_sum = static_cast<float>(last.dose_rate * seconds);
        h.geiger_total = static_cast<int32_t>(random.poisson(last.dose_rate * 0.01 * seconds));
        h.dose = static_cast<float>(dose_total);
        h.current_sample = 1;
        h.total_samples = 1;
        h.finished = 1;
        h.clock_time = static_cast<uint64_t>(options.spectrum_period_ms);
        h.live_time = static_cast<uint64_t>(options.spectrum_period_ms * 0.98);
        h.total_count = static_cast<uint16_t>(std::min<int64_t>(total, 0xFFFF));
        Bytes out(sizeof h + counts.size() * sizeof(int32_t));
        std::memcpy(out.data(), &h, sizeof h);
        std::memcpy(out.data() + sizeof h, counts.data(), counts.size() * sizeof(int32_t));
        return out;
    }

    Bytes occasional(uint16_t code) {
        Random random(mix(walk.options().seed, code, tick));
        switch (code) {
            case M30_EVENT_TOTAL_20HZ:
                return bytes_of(random.poisson(last.dose_rate * kCpsPerNanoGray / 20));
            case M30_EVENT_ALARMS: {  // bit 0 above 1 µGy/h, bit 1 above 10 µGy/h
                uint32_t alarms =
                    (last.dose_rate > 1000 ? 1u : 0u) | (last.dose_rate > 1e4 ? 2u : 0u);
                return bytes_of(alarms);
            }
            case M30_EVENT_LIGHT_SENSOR:
                return bytes_of(static_cast<uint32_t>(250 + 100 * random.uniform()));
            case M30_EVENT_CONNMAN:
            case M30_EVENT_BT_MANAGER:
                return bytes_of(uint32_t{1});
            case M30_EVENT_CS_STAB_RESULTS:
                return bytes_of(uint32_t{0});
            case M30_EVENT_PROGRESS:
                return block(sizeof(M30_progress_indication), "\x64");  // 100 %
            case M30_EVENT_ONFLY_ASSAY_RESULTS:
                return assay(static_cast<uint16_t>(tick % 1000));
            case M30_EVENT_PULSE:
                return block(sizeof(M30_pulse_data));
            case M30_EVENT_IDENTIFY_RESULTS:
                return block(sizeof(M30_identify_results), last_fix ? "K-40" : "");
            default:
                return block(sizeof(M30_message_event), "Battery 87 %");
        }
    }

    static Bytes assay(uint16_t first) {
        M30_assay_results a{};
        a.first = first;
        return bytes_of(a);
    }

    Bytes versions() const {
        Bytes b = block(sizeof(M30_versions), "2.7.1");  // firmware text first, as the service set
        auto put = [&b](size_t at, std::string_view text) {
            std::memcpy(b.data() + at, text.data(), text.size());
        };
        put(8, "rev B");
        put(16, "M30");
        put(32, "2026-10-12");
        return b;
    }

    Bytes memory_usage() const {
        uint32_t words[4] = {static_cast<uint32_t>(kMaxRecords * stored::kSize),
                             static_cast<uint32_t>(memory.size() * stored::kSize),
                             static_cast<uint32_t>((kMaxRecords - memory.size()) * stored::kSize),
                             static_cast<uint32_t>(memory.size())};
        Bytes b = block(sizeof(M30_memory_usage));
        std::memcpy(b.data(), words, sizeof words);
        return b;
    }

    Bytes date_time() const {
        std::time_t t = static_cast<std::time_t>(now());
        std::tm tm{};
        gmtime_r(&t, &tm);
        M30_date_time d{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_hour,        tm.tm_min,     tm.tm_sec};
        return bytes_of(d);
    }

    // The records keep times as unsigned 32-bit seconds since 1970, so the clock runs from 1970
    // to 2105; any other date, or one that is not in the calendar, is refused.
    bool set_date_time(const Bytes &payload) {
        using namespace std::chrono;
        auto d = record_of<M30_date_time>(payload);
        if (d.year < 1970 || d.year > 2105 || d.month < 1 || d.month > 12 || d.day < 1 ||
            d.day > 31 || d.hour < 0 || d.hour > 23 || d.minute < 0 || d.minute > 59 ||
            d.second < 0 || d.second > 59)
            return false;
        year_month_day date{year(d.year), month(static_cast<unsigned>(d.month)),
                            day(static_cast<unsigned>(d.day))};
        if (!date.ok()) return false;
        int64_t seconds =
            duration_cast<std::chrono::seconds>(sys_days(date).time_since_epoch() + hours(d.hour) +
                                                minutes(d.minute) + std::chrono::seconds(d.second))
                .count();
        clock_offset = seconds - system_seconds();
        return true;
    }

    // The stored record as an instrument in the field may leave it.
    void spoil_record(Bytes &bytes, int32_t id) const {
        const OddRecords &odd = options.odd_records;
        if (hits(odd.overfull_every, id))
            put32(bytes, stored::kPointCount,
                  stored::kMaxPoints + 1 + static_cast<uint32_t>(id % 64));
        if (hits(odd.unordered_every, id)) {
            uint32_t time = 0;
            std::memcpy(&time, bytes.data() + stored::kTime, sizeof time);
            put32(bytes, stored::kTime, kClockReset + time % 86400);
        }
        if (hits(odd.short_every, id)) bytes.resize(stored::kUnit - 2);
    }

    // Builds the buffer the next chunk requests read; false for what the instrument lacks.
    bool prepare(const M30_txbuf_prepare_request &r, M30_txbuf_prepare_response &out) {
        Bytes bytes;
        out.first = r.kind;
        if (r.kind == kListKind) {
            std::vector<int32_t> ids = memory.ids(r.args[0], r.args[1]);
            const auto *p = reinterpret_cast<const uint8_t *>(ids.data());
            bytes.assign(p, p + ids.size() * sizeof(int32_t));
            out.results[0] = static_cast<int32_t>(ids.size());
            out.results[1] = memory.size();
        } else if (r.kind == kRecordKind) {
            std::optional<SurveyRecord> record = memory.record(r.args[0]);
            if (!record) return false;
            bytes = encode_record(*record);
            spoil_record(bytes, record->id);
            out.results[0] = record->id;
            out.results[1] = static_cast<int32_t>(record->points.size());
        } else if (r.kind == kPictureKind && r.sub_kind == 1) {
            Screen screen{instrument.serial(), dose_in_unit(last.dose_rate, options.unit),
                          options.unit,        last.count_rate,
                          memory.recording(),  last_fix};
            bytes = display.png(screen);
            out.results[0] = Display::kWidth;
            out.results[1] = Display::kHeight;
        } else {
            return false;
        }
        out.results[2] = static_cast<int32_t>(bytes.size());
        transfer.ready = true;
        transfer.unreadable =
            r.kind == kRecordKind && hits(options.odd_records.unreadable_every, out.results[0]);
        transfer.handle = handle;
        transfer.bytes = std::move(bytes);
        return true;
    }

    std::optional<Answer> chunk(const Command &c) {
        auto r = record_of<M30_txbuf_chunk_request>(c.payload);
        if (c.payload.size() != sizeof r || !transfer.ready || transfer.unreadable ||
            r.handle != transfer.handle)
            return failed(c);
        size_t size = transfer.bytes.size();
        uint32_t length =
            r.offset >= size
                ? 0
                : static_cast<uint32_t>(std::min<size_t>(size - r.offset, options.chunk_bytes));
        Bytes payload(8 + length);
        std::memcpy(payload.data(), &length, 4);
        uint32_t total = static_cast<uint32_t>(size);
        std::memcpy(payload.data() + 4, &total, 4);
        if (length) std::memcpy(payload.data() + 8, transfer.bytes.data() + r.offset, length);
        return ok(c, std::move(payload));
    }
};

namespace {

using SharedPtr = std::shared_ptr<M30Model::Shared>;

// A row that runs `body` under the model's lock.
template <typename Body>
CommandHandler locked(const SharedPtr &s, Body body) {
    return [s, body](const Command &c) -> std::optional<Answer> {
        std::lock_guard lock(s->mutex);
        return body(*s, c);
    };
}

void install_tables(Instrument &in, const SharedPtr &s) {
    for (const SettingRow &row : kSettings) {
        in.set_command(row.get, locked(s, [code = row.get](M30Model::Shared &m, const Command &c) {
                           return ok(c, m.settings.at(code));
                       }));
        in.set_command(row.set, locked(s, [row](M30Model::Shared &m, const Command &c) {
                           if (c.payload.size() != row.size) return failed(c);
                           m.settings[row.get] = c.payload;
                           return ok(c);
                       }));
    }
    for (const SetRow &row : kSets)
        in.set_command(row.code, locked(s, [row](M30Model::Shared &m, const Command &c) {
                           if (c.payload.size() != row.size) return failed(c);
                           m.settings[row.code] = c.payload;
                           return ok(c);
                       }));
    for (const BlockRow &row : kBlocks)
        in.set_command(row.code,
                       [row](const Command &c) { return ok(c, block(row.size, row.text)); });
    for (uint16_t code : kActions)
        in.set_command(code, succeed());
}

void install_commands(Instrument &in, const SharedPtr &s) {
    in.set_command(M30_CMD_GET_VERSIONS, locked(s, [](M30Model::Shared &m, const Command &c) {
                       return ok(c, m.versions());
                   }));
    in.set_command(M30_CMD_GET_DATE_TIME, locked(s, [](M30Model::Shared &m, const Command &c) {
                       return ok(c, m.date_time());
                   }));
    in.set_command(M30_CMD_SET_DATE_TIME, locked(s, [](M30Model::Shared &m, const Command &c) {
                       if (c.payload.size() != sizeof(M30_date_time) || !m.set_date_time(c.payload))
                           return failed(c);
                       return ok(c);
                   }));
    // One code, two commands: the probes and the service get-serial (param 1, or their time-out
    // of 100 ms) want the serial text, the M30's own get-serial-number (param = its time-out of
    // 1000 ms) wants the serial as a number. Nothing else on the wire tells them apart.
    Instrument *instrument = &in;
    in.set_command(M30_CMD_GET_SERIAL_NUMBER, [instrument](const Command &c) {
        std::string serial = instrument->serial();
        if (c.param != 1000) return ok(c, Bytes(serial.begin(), serial.end()));
        uint32_t number = 0;
        for (char ch : serial)
            if (ch >= '0' && ch <= '9') number = number * 10 + static_cast<uint32_t>(ch - '0');
        return ok(c, bytes_of(number));
    });
    in.set_command(M17_CMD_SET_SERIAL, [instrument](const Command &c) {
        if (c.payload.size() != M17_SERIAL_SIZE) return failed(c);
        std::string serial(c.payload.begin(), c.payload.end());
        serial.resize(std::strlen(serial.c_str()));
        if (serial.empty()) return failed(c);
        instrument->set_serial(serial);
        return ok(c);
    });
    // Both answer before the link goes down: the answer is queued first.
    in.set_command(M30_CMD_RESTART, [s](const Command &c) {
        {
            std::lock_guard lock(s->mutex);
            s->power_up();
        }
        s->instrument.restart(std::chrono::milliseconds(s->options.restart_delay_ms),
                              s->options.restart_keeps_link);
        return ok(c);
    });
    in.set_command(M30_CMD_POWER_OFF, [s](const Command &c) {
        {
            std::lock_guard lock(s->mutex);
            s->power_up();  // nothing happens while it is off
        }
        s->instrument.power_off();
        return ok(c);
    });
    in.set_command(M30_CMD_EMULATE_KEY, [s](const Command &c) {
        if (c.payload.size() != 4) return failed(c);
        int32_t key = int_of(c.payload);
        bool send;
        {
            std::lock_guard lock(s->mutex);
            s->display.press(key);  // keys the instrument lacks do nothing
            send = s->options.events && s->enabled(M30_EVENT_KEYBOARD);
        }
        if (send) {
            int32_t pressed[2] = {key, 1};  // the key, then 1 for a press
            s->instrument.send_event(M30_EVENT_KEYBOARD, bytes_of(pressed));
        }
        return ok(c);
    });
    in.set_command(M30_CMD_GET_STATUS, locked(s, [](M30Model::Shared &m, const Command &c) {
                       return ok(c, m.status());
                   }));
    in.set_command(M30_CMD_LOAD_DEFAULT_PARAMS,
                   locked(s, [](M30Model::Shared &m, const Command &c) {
                       m.settings[M30_CMD_GET_PARAMS] = M30Model::Shared::default_params();
                       return ok(c);
                   }));
    in.set_command(M30_CMD_START_ACCUMULATED_SPECTRUM,
                   locked(s, [](M30Model::Shared &m, const Command &c) {
                       if (c.payload.size() != 4) return failed(c);
                       m.accumulating = true;
                       return ok(c);
                   }));
    in.set_command(M30_CMD_STOP_ACCUMULATED_SPECTRUM,
                   locked(s, [](M30Model::Shared &m, const Command &c) {
                       m.accumulating = false;
                       return ok(c);
                   }));
    in.set_command(M30_CMD_CLEAR_ACCUMULATED_SPECTRUM,
                   locked(s, [](M30Model::Shared &m, const Command &c) {
                       std::fill(m.accumulated.begin(), m.accumulated.end(), 0);
                       return ok(c);
                   }));
    in.set_command(M30_CMD_RECORD_SURVEY, locked(s, [](M30Model::Shared &m, const Command &c) {
                       if (c.payload.size() != 4) return failed(c);
                       if (int_of(c.payload))
                           m.memory.start(static_cast<uint32_t>(m.now()), m.options.unit);
                       else
                           m.memory.stop();
                       return ok(c);
                   }));
    in.set_command(M30_CMD_DELETE_RECORD_ID, locked(s, [](M30Model::Shared &m, const Command &c) {
                       if (c.payload.size() != sizeof(M30_delete_record_request)) return failed(c);
                       auto r = record_of<M30_delete_record_request>(c.payload);
                       return m.memory.remove(r.first) ? ok(c) : failed(c);
                   }));
    in.set_command(M30_CMD_GET_MEMORY_USAGE, locked(s, [](M30Model::Shared &m, const Command &c) {
                       return ok(c, m.memory_usage());
                   }));
    in.set_command(M30_CMD_SEND_ASSAY_RESULTS, [s](const Command &c) {
        bool send;
        {
            std::lock_guard lock(s->mutex);
            send = s->options.events && s->enabled(M30_EVENT_ASSAY_RESULTS);
        }
        if (send) s->instrument.send_event(M30_EVENT_ASSAY_RESULTS, M30Model::Shared::assay(5));
        return ok(c);
    });
    in.set_command(M17_CMD_READ_EXT_FLASH, locked(s, [](M30Model::Shared &m, const Command &c) {
                       if (c.payload.size() != 2) return failed(c);
                       auto page = m.flash.find(mxx_get16(c.payload.data()));
                       return ok(c, page == m.flash.end() ? Bytes(M17_EXT_FLASH_PAGE_SIZE, 0xFF)
                                                          : page->second);
                   }));
    in.set_command(M17_CMD_ERASE_EXT_FLASH, locked(s, [](M30Model::Shared &m, const Command &c) {
                       m.flash.clear();
                       return ok(c);
                   }));
    in.set_command(M17_CMD_WRITE_EXT_FLASH, locked(s, [](M30Model::Shared &m, const Command &c) {
                       if (c.payload.size() < 2) return failed(c);
                       Bytes page(M17_EXT_FLASH_PAGE_SIZE, 0xFF);
                       std::copy_n(c.payload.begin() + 2,
                                   std::min<size_t>(c.payload.size() - 2, page.size()),
                                   page.begin());
                       m.flash[mxx_get16(c.payload.data())] = page;
                       return ok(c);
                   }));

    // Transfer buffers: info hands out a new handle, prepare fills the buffer for it, the chunk
    // requests read it in pieces and an empty piece ends it.
    in.set_command(M30_CMD_TX_BUFF_INFO, locked(s, [](M30Model::Shared &m, const Command &c) {
                       M30_txbuf_info info{M30_TXBUF_CHUNK_MAX, ++m.handle};
                       return ok(c, bytes_of(info));
                   }));
    in.set_command(M30_CMD_TX_BUFF_PREPARE, locked(s, [](M30Model::Shared &m, const Command &c) {
                       M30_txbuf_prepare_response out{};
                       if (c.payload.size() != sizeof(M30_txbuf_prepare_request) ||
                           !m.prepare(record_of<M30_txbuf_prepare_request>(c.payload), out))
                           return failed(c);
                       return ok(c, bytes_of(out));
                   }));
    in.set_command(M30_CMD_TX_BUFF_GET,
                   locked(s, [](M30Model::Shared &m, const Command &c) { return m.chunk(c); }));
}

// Event rows: each source asks the model under its lock, and stays quiet while the host's
// filter has the event off.
void install_events(Instrument &in, const SharedPtr &s) {
    auto row = [&](uint16_t code, int period_ms, auto build) {
        in.set_event(code, period_ms, [s, code, build]() -> std::optional<Bytes> {
            std::lock_guard lock(s->mutex);
            if (!s->enabled(code)) return std::nullopt;
            return build(*s);
        });
    };
    row(M30_EVENT_SPECTRUM, s->options.spectrum_period_ms, [](M30Model::Shared &m) {
        Bytes live = m.spectrum(1, nullptr);
        if (m.accumulating) {  // the accumulated one rides along; one frame per period
            Bytes acc = m.spectrum(4, &m.accumulated);
            m.instrument.send_event(M30_EVENT_SPECTRUM, std::move(acc));
        }
        if (m.options.rare_events && m.spectrum_sequence % 2 == 1) m.send_rare();
        ++m.spectrum_sequence;
        return live;
    });
    for (const Occasional &o : kOccasional)
        row(o.code, o.period_ms,
            [code = o.code](M30Model::Shared &m) { return m.occasional(code); });
}

}  // namespace

// The clock measures at the event rate, up or linked or not; each reading goes out as one status
// and one totals event when a host listens.
void install_clock(Instrument &in, const SharedPtr &s) {
    int period = std::max(1, static_cast<int>(std::lround(1000 / s->options.rate_hz)));
    const auto every = std::chrono::milliseconds(s->options.restart_every_ms);
    // The instrument runs a copy of the tick each time: the moment lives outside it.
    auto next = std::make_shared<std::chrono::steady_clock::time_point>(
        std::chrono::steady_clock::now() + every);
    in.set_clock(period, [s, every, next] {
        // As an instrument switched off and on, every period from the last time.
        if (every.count() > 0 && std::chrono::steady_clock::now() >= *next) {
            {
                std::lock_guard lock(s->mutex);
                s->power_up();
            }
            s->instrument.restart(std::chrono::milliseconds(s->options.restart_delay_ms),
                                  s->options.restart_keeps_link);
            *next = std::chrono::steady_clock::now() + every;
            return;
        }
        std::lock_guard lock(s->mutex);
        s->measure();
        if (!s->options.events) return;
        if (s->enabled(M30_EVENT_STATUS)) s->instrument.send_event(M30_EVENT_STATUS, s->status());
        if (s->enabled(M30_EVENT_TOTAL)) s->instrument.send_event(M30_EVENT_TOTAL, s->totals());
    });
}

M30Model::M30Model(Instrument &instrument, const M30Options &options)
    : m_shared(std::make_shared<Shared>(instrument, options)) {
    m_shared->init_settings();
    m_shared->measure();  // a reading to show before the clock's first tick
    install_tables(instrument, m_shared);
    install_commands(instrument, m_shared);
    install_clock(instrument, m_shared);
    if (options.events) install_events(instrument, m_shared);
}

M30Model::~M30Model() = default;

M30State M30Model::state() const {
    std::lock_guard lock(m_shared->mutex);
    const Shared &s = *m_shared;
    return M30State{s.memory.size(),
                    s.memory.recording(),
                    s.display.selected(),
                    s.display.open(),
                    s.display.page(),
                    record_of<M30_event_filter>(s.settings.at(M30_CMD_GET_EVENT_FILTER)).mask,
                    static_cast<uint32_t>(s.setting_int(M30_CMD_GET_LEDS)),
                    s.setting_int(M30_CMD_GET_GPS_POWER)};
}

const Walk &M30Model::walk() const {
    return m_shared->walk;
}

bool check_m30_options(const M30Options &o, std::string *error) {
    auto bad = [error](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    if (!(o.rate_hz >= 1 && o.rate_hz <= 50)) return bad("the event rate must be 1 to 50 Hz");
    if (o.spectrum_period_ms < 100) return bad("the spectrum period must be at least 100 ms");
    if (o.unit < 0 || o.unit > 3) return bad("the dose unit must be 0 (Gy) to 3 (rem)");
    if (!(o.walk.speed >= 0 && o.walk.speed <= 60)) return bad("the speed must be 0 to 60 m/s");
    if (std::fabs(o.walk.latitude) > 84 || std::fabs(o.walk.longitude) > 180)
        return bad("the start point must lie within latitude ±84 and longitude ±180");
    if (o.history.records < 0 || o.history.records > kMaxRecords)
        return bad("the history holds 0 to " + std::to_string(kMaxRecords) + " records");
    if (!(o.history.days > 0 && o.history.days <= 3650))
        return bad("the history spans more than 0 and at most 3650 days");
    if (!(o.history.fix_share >= 0 && o.history.fix_share <= 1))
        return bad("the share of points with a fix must be 0 to 1");
    if (o.restart_delay_ms < 0) return bad("the restart delay cannot be negative");
    if (o.restart_every_ms < 0) return bad("the restart period cannot be negative");
    for (size_t i = 0; i < o.error_schedule.size(); ++i)
        if (o.error_schedule[i].at_ms < 0 ||
            (i > 0 && o.error_schedule[i].at_ms <= o.error_schedule[i - 1].at_ms))
            return bad("the error schedule's times must be 0 or more and ascending");
    if (o.error_cycle_ms < 0) return bad("the error schedule's cycle cannot be negative");
    const OddRecords &odd = o.odd_records;
    if (odd.overfull_every < 0 || odd.unordered_every < 0 || odd.unreadable_every < 0 ||
        odd.short_every < 0)
        return bad("the odd records are every Nth record, N 0 (none) or more");
    if (o.chunk_bytes < 1 || o.chunk_bytes > static_cast<int>(M30_TXBUF_CHUNK_MAX))
        return bad("the chunk size must be 1 to " + std::to_string(M30_TXBUF_CHUNK_MAX) + " bytes");
    return true;
}

}  // namespace sim
