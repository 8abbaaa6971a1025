// The error lines of the log, from any thread, for the USB tests.
#pragma once

#include <mutex>
#include <string>

#include "comm/log.h"

struct usb_errors {
    // Starts a fresh capture: errors go to the redirect hook, which keeps them.
    static void capture() {
        log_reset();
        log_seterror(0, 1, 0, 0, nullptr);
        log_redirect(keep);
        std::lock_guard g(lock());
        store().clear();
    }
    static std::string text() {
        std::lock_guard g(lock());
        return store();
    }

private:
    static int keep(const char *channel, int, const char *line) {
        std::lock_guard g(lock());
        if (std::string(channel) == "ERROR") store() += line;
        return 1;
    }
    static std::mutex &lock() {
        static std::mutex m;
        return m;
    }
    static std::string &store() {
        static std::string s;
        return s;
    }
};
