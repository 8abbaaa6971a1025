// Links whose transports this build does not have yet: their connection strings parse, but
// opening them and their discovery helpers fail with -1.
#include "comm.h"

int comm_connect_bt(int *, const char *, int, const char *, int, comm_event_cb, int, int, void *) {
    return -1;
}

int comm_bt_is_available() {
    return 0;
}
int comm_bt_discover(comm_bt_result_cb, int, void *) {
    return -1;
}
int comm_bt_discover_cancel() {
    return -1;
}
int comm_bt_discover_wait(char *, int *count_out) {
    if (count_out) *count_out = 0;
    return -1;
}
