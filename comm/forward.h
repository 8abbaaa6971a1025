// Discovery and helpers that forward to the transports. Each returns -1 when the connection
// manager is not started or the transport is not available in this build.
#pragma once

struct comm_bt_inquiry_result_t;
using comm_bt_result_cb = int (*)(comm_bt_inquiry_result_t *results, int count, int flag,
                                  void *user);
using comm_usb_event_cb = void (*)(void *user);
using comm_datagram_cb = void (*)(const void *datagram, int length, void *user);

int comm_list_devices_usb(int reserved, char *out, int max, int *count_out,
                          const char *description_filter, const char *serial_filter, int vid_min,
                          int vid_max, int pid_min, int pid_max);
int comm_list_devices_ftdi(char *descriptions_out, char *strings_out, int max, int *count_out,
                           const char *description_filter, const char *serial_filter, int vid,
                           int pid);
int comm_ftdi_read_eeprom(int conn_id, void *image, int size);
int comm_ftdi_write_eeprom(int conn_id, const void *image, int size);

int comm_bt_is_available();  // 1 when a Bluetooth radio is present, else 0
int comm_bt_discover(comm_bt_result_cb callback, int class_filter, void *user);
int comm_bt_discover_cancel();
int comm_bt_discover_wait(char *out, int *count_out);

int comm_usb_register(comm_usb_event_cb callback, void *user);
int comm_usb_deregister();

int comm_net_broadcast_send(const char *data, int length, int reserved, int port);
int comm_net_broadcast_register(comm_datagram_cb callback, void *user);
int comm_net_broadcast_deregister();
