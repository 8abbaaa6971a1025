// Discovery datagrams arrive from anyone on the network: no datagram may crash the parser,
// overfill the list or touch the replies already in it.
#include <cstdint>
#include <cstring>

#include "mxx/mxx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MXX_broadcast_list_t before, after;
    MXX_broadcast_list(&before);
    MXX_broadcast_event_proc(data, static_cast<int>(size));
    MXX_broadcast_list(&after);
    if (after.count < before.count || after.count > MXX_BROADCAST_LIST_MAX) __builtin_trap();
    if (std::memcmp(before.entries, after.entries,
                    sizeof(MXX_broadcast_entry) * static_cast<size_t>(before.count)))
        __builtin_trap();
    if (after.count == MXX_BROADCAST_LIST_MAX) MXX_net_broadcast_reset_list();
    return 0;
}
