// A scripted USB instrument behind the USB transport's libusb seam: IN transfers complete from
// `to_host` inside handle_events, as libusb runs them on the link's event thread; writes land in
// `from_host`. One device, one link at a time.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "comm/usb.h"

struct usb_fake {
    std::mutex lock;  // guards everything below
    std::condition_variable changed;
    std::string serial = "M30USB01";
    int open_result = 0;  // the libusb error that opening reports
    bool present = true;  // false: transfers end with LIBUSB_ERROR_NO_DEVICE
    bool write_times_out = false;
    std::string to_host;                                // bytes the device has yet to send
    std::string from_host;                              // bytes written to it
    std::function<void(const std::string &)> on_write;  // runs outside the lock
    libusb_transfer *pending = nullptr;                 // the IN transfer in flight
    bool cancelling = false;
    bool interrupted = false;
    int closed = 0;

    void reset();
    void send(const std::string &bytes);
    void unplug();
    bool reading();
};

usb_fake &usb_fake_device();
extern const usbuniv_backend usb_fake_backend;
