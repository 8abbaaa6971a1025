// The registry of protocol states, the attempt count and hook registration.
#include <unordered_map>

#include "conn_state.h"

namespace {

std::mutex registry_lock;
std::unordered_map<int, mxx_state_ref> registry;  // guarded by registry_lock

bool already_registered(const MXX_conn_state &s, uint16_t code, MXX_hook hook) {
    int count = s.hook_count.load(std::memory_order_relaxed);
    for (int i = 0; i < MXX_HOOK_TABLE_SIZE; ++i) {
        if (i >= count && i != MXX_CATCH_ALL_ENTRY) continue;
        const mxx_hook_entry *e = s.hooks[i].load(std::memory_order_relaxed);
        if (e && e->code == code && e->hook == hook) return true;
    }
    return false;
}

// Called under hook_lock.
const mxx_hook_entry *new_entry(MXX_conn_state &s, uint16_t code, MXX_hook hook) {
    s.hook_storage.push_back(std::make_unique<mxx_hook_entry>(mxx_hook_entry{code, hook}));
    return s.hook_storage.back().get();
}

}  // namespace

void mxx_register_state(int conn_id, const mxx_state_ref &state) {
    std::lock_guard g(registry_lock);
    registry[conn_id] = state;
}

void mxx_forget_state(int conn_id, const MXX_conn_state *state) {
    mxx_state_ref last;  // released outside the lock
    std::lock_guard g(registry_lock);
    auto it = registry.find(conn_id);
    if (it == registry.end() || it->second.get() != state) return;
    last = std::move(it->second);
    registry.erase(it);
}

mxx_state_ref mxx_find_state(int conn_id) {
    std::lock_guard g(registry_lock);
    auto it = registry.find(conn_id);
    return it == registry.end() ? nullptr : it->second;
}

int MXX_set_cmd_num_try(int conn_id, int tries) {
    if (mxx_state_ref s = mxx_find_state(conn_id)) s->attempts = tries;
    return 0;
}

int MXX_get_cmd_num_try(int conn_id) {
    mxx_state_ref s = mxx_find_state(conn_id);
    return s ? s->attempts.load() : 1;
}

int MXX_hook_async_event(int conn_id, int code, MXX_hook hook) {
    mxx_state_ref s = mxx_find_state(conn_id);
    if (!s) return 0;
    auto c = static_cast<uint16_t>(code);
    std::lock_guard g(s->hook_lock);
    if (already_registered(*s, c, hook)) return 0;
    int count = s->hook_count.load(std::memory_order_relaxed);
    if (c == MXX_CODE_ANY) {
        s->hooks[MXX_CATCH_ALL_ENTRY].store(new_entry(*s, c, hook), std::memory_order_release);
        return 0;
    }
    const mxx_hook_entry *catch_all = s->hooks[MXX_CATCH_ALL_ENTRY].load(std::memory_order_relaxed);
    if (count >= MXX_HOOK_TABLE_SIZE || (count == MXX_CATCH_ALL_ENTRY && catch_all)) return -1;
    s->hooks[count].store(new_entry(*s, c, hook), std::memory_order_release);
    s->hook_count.store(count + 1, std::memory_order_release);
    return 0;
}

MXX_hook mxx_hook_for(const MXX_conn_state &s, uint16_t code) {
    int count = s.hook_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        const mxx_hook_entry *e = s.hooks[i].load(std::memory_order_acquire);
        if (e && e->code == code && e->hook) return e->hook;
    }
    const mxx_hook_entry *any = s.hooks[MXX_CATCH_ALL_ENTRY].load(std::memory_order_acquire);
    return any && any->code == MXX_CODE_ANY ? any->hook : nullptr;
}
