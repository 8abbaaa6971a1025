#include "faults.h"

#include <array>
#include <charconv>
#include <fstream>
#include <variant>

namespace sim {

namespace {

using Field = std::variant<double Faults::*, int Faults::*, bool Faults::*, uint64_t Faults::*>;

struct FaultKey {
    std::string_view name;
    Field field;
};

constexpr std::array kKeys = {
    FaultKey{"drop", &Faults::drop},
    FaultKey{"retry0", &Faults::retry0},
    FaultKey{"retry_fail", &Faults::retry_fail},
    FaultKey{"refuse", &Faults::refuse},
    FaultKey{"fail_status", &Faults::fail_status},
    FaultKey{"response_then_refusal", &Faults::response_then_refusal},
    FaultKey{"corrupt", &Faults::corrupt},
    FaultKey{"junk", &Faults::junk},
    FaultKey{"delay_ms", &Faults::delay_ms},
    FaultKey{"split_chunk", &Faults::split_chunk},
    FaultKey{"split_pause_ms", &Faults::split_pause_ms},
    FaultKey{"close_after_frames", &Faults::close_after_frames},
    FaultKey{"cut_every_ms", &Faults::cut_every_ms},
    FaultKey{"ignore_probes", &Faults::ignore_probes},
    FaultKey{"seed", &Faults::seed},
};

const FaultKey *find_key(std::string_view key) {
    std::string name(key);
    for (char &c : name)
        if (c == '-') c = '_';
    for (const FaultKey &k : kKeys)
        if (k.name == name) return &k;
    return nullptr;
}

std::string known_keys() {
    std::string list;
    for (const FaultKey &k : kKeys) {
        if (!list.empty()) list += ", ";
        list += k.name;
    }
    return list;
}

template <typename T>
bool parse_number(std::string_view text, T &out) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool fail(std::string *error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

std::string_view trim(std::string_view s) {
    const char *space = " \t\r";
    size_t first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

}  // namespace

bool is_fault_key(std::string_view key) {
    return find_key(key) != nullptr;
}

bool parse_fault_option(Faults &faults, std::string_view key, std::string_view value,
                        std::string *error) {
    const FaultKey *k = find_key(key);
    if (!k)
        return fail(error,
                    "unknown fault '" + std::string(key) + "' (known: " + known_keys() + ")");
    std::string shown = "'";  // built by appending: GCC 12 misreports operator+ here at -O3
    shown.append(value).append("'");
    std::string name(k->name);
    if (auto *fraction = std::get_if<double Faults::*>(&k->field)) {
        double v = 0;
        if (!parse_number(value, v) || !(v >= 0 && v <= 1))
            return fail(error, name + " needs a fraction from 0 to 1, got " + shown);
        faults.*(*fraction) = v;
    } else if (auto *count = std::get_if<int Faults::*>(&k->field)) {
        int v = 0;
        if (!parse_number(value, v) || v < 0)
            return fail(error, name + " needs a whole number of 0 or more, got " + shown);
        faults.*(*count) = v;
    } else if (auto *flag = std::get_if<bool Faults::*>(&k->field)) {
        if (value == "1" || value == "true" || value == "yes") {
            faults.*(*flag) = true;
        } else if (value == "0" || value == "false" || value == "no") {
            faults.*(*flag) = false;
        } else {
            return fail(error, name + " needs true or false, got " + shown);
        }
    } else {
        uint64_t v = 0;
        if (!parse_number(value, v))
            return fail(error, name + " needs a whole number of 0 or more, got " + shown);
        faults.*std::get<uint64_t Faults::*>(k->field) = v;
    }
    return true;
}

bool load_fault_script(Faults &faults, const std::string &path, std::string *error) {
    std::ifstream in(path);
    if (!in) return fail(error, "cannot read the fault script " + path);
    Faults loaded = faults;  // a bad script changes nothing
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string_view text = trim(std::string_view(line).substr(0, line.find('#')));
        if (text.empty()) continue;
        size_t gap = text.find_first_of(" \t");
        std::string message = "expected 'key value', got '" + std::string(text) + "'";
        if (gap != std::string_view::npos &&
            parse_fault_option(loaded, text.substr(0, gap), trim(text.substr(gap)), &message))
            continue;
        return fail(error, path + ":" + std::to_string(number) + ": " + message);
    }
    if (!check_faults(loaded, error)) return false;
    faults = loaded;
    return true;
}

bool check_faults(const Faults &f, std::string *error) {
    double sum =
        f.drop + f.retry0 + f.retry_fail + f.refuse + f.fail_status + f.response_then_refusal;
    if (sum > 1 + 1e-9)
        return fail(error,
                    "drop, retry0, retry_fail, refuse, fail_status and response_then_refusal "
                    "share the answers: together they must not exceed 1");
    return true;
}

}  // namespace sim
