// The scripted chip: each call answers from fake_chip; line settings are recorded.
#include "fake_libftdi.h"

#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

fake_chip chip;
int token;  // the one device, and its open handle, point here

int note(const char *format, int value = 0) {
    char line[64];
    std::snprintf(line, sizeof line, format, value);
    std::lock_guard g(chip.lock);
    chip.calls.push_back(line);
    return 0;
}

}  // namespace

fake_chip &fake_ftdi_chip() {
    return chip;
}

extern "C" {

ftdi_context *ftdi_new() {
    return new ftdi_context{};
}
void ftdi_free(ftdi_context *f) {
    delete f;
}
int ftdi_set_interface(ftdi_context *, ftdi_interface) {
    return 0;
}
const char *ftdi_get_error_string(ftdi_context *f) {
    return f->error_str;
}
const char *libusb_strerror(int) {
    return "fake transfer failed";
}

int ftdi_usb_find_all(ftdi_context *, ftdi_device_list **list, int, int) {
    std::lock_guard g(chip.lock);
    *list = chip.attached ? new ftdi_device_list{nullptr, reinterpret_cast<libusb_device *>(&token)}
                          : nullptr;
    return chip.attached ? 1 : 0;
}
void ftdi_list_free(ftdi_device_list **list) {
    delete *list;
    *list = nullptr;
}
int libusb_get_device_descriptor(libusb_device *, libusb_device_descriptor *d) {
    *d = {};
    d->idVendor = 0x0403;
    d->idProduct = 0x6001;
    d->bcdDevice = 0x0600;
    return 0;
}
uint8_t libusb_get_bus_number(libusb_device *) {
    return 1;
}
uint8_t libusb_get_port_number(libusb_device *) {
    return 2;
}
int ftdi_usb_get_strings(ftdi_context *, libusb_device *, char *, int, char *description,
                         int description_len, char *serial, int serial_len) {
    std::lock_guard g(chip.lock);
    std::snprintf(description, static_cast<size_t>(description_len), "%s",
                  chip.description.c_str());
    std::snprintf(serial, static_cast<size_t>(serial_len), "%s", chip.serial.c_str());
    return 0;
}

int ftdi_usb_open_desc(ftdi_context *f, int, int product, const char *, const char *serial) {
    std::lock_guard g(chip.lock);
    if (product != 0x6001 || !chip.attached || !serial || chip.serial != serial) {
        f->error_str = "device not found";
        return -3;
    }
    f->usb_dev = reinterpret_cast<libusb_device_handle *>(&token);
    return 0;
}
int ftdi_usb_close(ftdi_context *) {
    return 0;
}

// Waits for bytes up to the USB time-out, as the chip answers each read within its latency.
int ftdi_read_data(ftdi_context *f, unsigned char *buf, int size) {
    std::unique_lock g(chip.lock);
    chip.arrived.wait_for(g, std::chrono::milliseconds(f->usb_read_timeout),
                          [] { return !chip.to_host.empty() || !chip.present; });
    if (!chip.present) {
        f->error_str = "usb bulk read failed";
        return LIBUSB_ERROR_NO_DEVICE;
    }
    size_t n = std::min(static_cast<size_t>(size), chip.to_host.size());
    std::memcpy(buf, chip.to_host.data(), n);
    chip.to_host.erase(0, n);
    return static_cast<int>(n);
}
int ftdi_write_data(ftdi_context *f, const unsigned char *buf, int size) {
    std::lock_guard g(chip.lock);
    if (!chip.present) {
        f->error_str = "usb bulk write failed";
        return -1;  // libftdi's one code for any failed write
    }
    chip.to_host.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(size));
    chip.arrived.notify_all();
    return size;
}

int ftdi_tciflush(ftdi_context *) {
    return note("tciflush");
}
int ftdi_tcoflush(ftdi_context *) {
    return note("tcoflush");
}
int ftdi_set_baudrate(ftdi_context *, int baud) {
    return note("baud %d", baud);
}
int ftdi_set_line_property(ftdi_context *, ftdi_bits_type bits, ftdi_stopbits_type stop,
                           ftdi_parity_type parity) {
    return note("line %03d", bits * 100 + stop * 10 + parity);
}
int ftdi_setflowctrl(ftdi_context *, int flow) {
    return note("flow %#x", flow);
}
int ftdi_setflowctrl_xonxoff(ftdi_context *, unsigned char, unsigned char) {
    return note("xonxoff");
}

int ftdi_read_eeprom_location(ftdi_context *, int address, unsigned short *value) {
    std::lock_guard g(chip.lock);
    *value = address < 64 ? chip.eeprom[address] : 0;
    return 0;
}
int ftdi_erase_eeprom(ftdi_context *) {
    std::lock_guard g(chip.lock);
    std::memset(chip.eeprom, 0xff, sizeof chip.eeprom);
    return 0;
}
// Only the chip's EEPROM write request is expected here.
int libusb_control_transfer(libusb_device_handle *, uint8_t type, uint8_t request, uint16_t value,
                            uint16_t index, unsigned char *, uint16_t, unsigned int) {
    std::lock_guard g(chip.lock);
    if (type != 0x40 || request != 0x91 || index >= 64) return LIBUSB_ERROR_PIPE;
    chip.eeprom[index] = value;
    return 0;
}

}  // extern "C"
