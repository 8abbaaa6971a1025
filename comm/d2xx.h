// The part of FTDI's D2XX interface that the FTDI transport calls and our adapter library
// provides, with the vendor's names and, on Linux, its types: DWORD is 32 bits.
#pragma once

#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace d2xx {

using DWORD = unsigned int;
using FT_STATUS = unsigned int;
using FT_HANDLE = void *;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_NOT_SUPPORTED = 17,
};

constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_PURGE_RX = 1;
constexpr DWORD FT_PURGE_TX = 2;
constexpr DWORD FT_EVENT_RXCHAR = 1;
constexpr unsigned short FT_FLOW_RTS_CTS = 0x100;
constexpr int FT_SERIAL_BYTES = 16;
constexpr int FT_DESCRIPTION_BYTES = 64;

// Ours, not the vendor's: FTDI's own USB ids (vendor << 16 | product), which ordinary USB-serial
// cables carry. Devices under them are left alone unless SURVOKART_FTDI_GENERIC_IDS=1: opening
// one through libftdi1 takes it from its kernel driver, and so from the programs using its tty.
constexpr DWORD FTDI_GENERIC_IDS[] = {0x04036001, 0x04036010, 0x04036011, 0x04036014, 0x04036015};

inline bool ftdi_generic_ids_wanted() {
    const char *v = std::getenv("SURVOKART_FTDI_GENERIC_IDS");
    return v && std::strcmp(v, "1") == 0;
}

inline bool ftdi_generic_id(DWORD id) {
    for (DWORD g : FTDI_GENERIC_IDS)
        if (g == id) return true;
    return false;
}

// What FT_SetEventNotification takes as its event.
struct EVENT_HANDLE {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};

}  // namespace d2xx
