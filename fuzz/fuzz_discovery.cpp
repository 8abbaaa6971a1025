// Discovery datagrams arrive from anyone on the network: no datagram may crash the parser or
// overfill the list.
#include <cstdint>

#include "mxx/mxx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MXX_broadcast_event_proc(data, static_cast<int>(size));
    MXX_broadcast_list_t list;
    MXX_broadcast_list(&list);
    if (list.count < 0 || list.count > MXX_BROADCAST_LIST_MAX) __builtin_trap();
    if (list.count == MXX_BROADCAST_LIST_MAX) MXX_net_broadcast_reset_list();
    return 0;
}
