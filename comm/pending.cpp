// Links whose transports this build does not have yet: their connection strings parse, but
// opening them and their discovery helpers fail with -1.
#include "comm.h"

int comm_connect_usbuniv(int *, int, int, const char *, comm_event_cb, int, int, void *) {
    return -1;
}

int comm_list_devices_usb(int, char *, int, int *count_out, const char *, const char *, int, int,
                          int, int) {
    if (count_out) *count_out = 0;
    return -1;
}

int comm_usb_register(comm_usb_event_cb, void *) {
    return -1;
}
int comm_usb_deregister() {
    return -1;
}
