// One Bluetooth inquiry result, laid out as the result callback's callers read it.
#pragma once

struct comm_bt_inquiry_result_t {
    char address[20];  // "00:1A:7D:DA:71:13"
    char name[64];     // empty when the device gave none; need not end in a zero byte
    int class_of_device;
    int rssi;  // signal strength in dBm when BlueZ reported one, else 0
};
static_assert(sizeof(comm_bt_inquiry_result_t) == 92);

constexpr int BT_MAX_RESULTS = 255;
