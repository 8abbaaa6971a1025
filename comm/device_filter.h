// Device listings filter serial numbers and descriptions the same way for every transport.
#pragma once

// "?" matches any character; matching stops at the end of the shorter text, so a filter may name
// just the start of a serial.
inline bool comm_filter_matches(const char *text, const char *filter) {
    if (!filter) return true;
    for (; *text && *filter; ++text, ++filter)
        if (*filter != '?' && *filter != *text) return false;
    return true;
}
