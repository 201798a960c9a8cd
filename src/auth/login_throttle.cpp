#include "auth/login_throttle.hpp"

#include <cstring>

#include "config/settings.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/shared_table.hpp"

namespace tollmar::auth {

namespace {

constexpr std::size_t throttle_entries = 1024;
constexpr std::int64_t entry_lifetime_ms = 5 * 60 * 1000;
constexpr std::int64_t longest_delay_ms = 15 * 1000;

// The slot's stamp is the time of the last refusal.
struct throttle_entry {
    util::keyed_slot slot;
    std::uint32_t refusals;
};

struct throttle_table {
    throttle_entry entries[throttle_entries];
};

util::shared_table shared;
throttle_table* table = nullptr;

void repair_table(void* body) {
    util::terminate_keys(static_cast<throttle_table*>(body)->entries, throttle_entries);
}

// Entries whose time ran out are freed as they are met, so that they are
// reused before any live one.
void expire(std::int64_t now_ms) {
    for (throttle_entry& e : table->entries) {
        if (e.slot.used && now_ms - e.slot.stamp_ms >= entry_lifetime_ms) e.slot.used = false;
    }
}

std::int64_t delay_for(std::uint32_t refusals) {
    const std::int64_t base = std::int64_t{config::settings.login_delay} * 1000;
    const std::int64_t cap = base > longest_delay_ms ? base : longest_delay_ms;
    std::int64_t delay = base;
    for (std::uint32_t i = 1; i < refusals && delay < cap; ++i) delay *= 2;
    return delay < cap ? delay : cap;
}

}  // namespace

bool lock_login_throttle() {
    return util::lock_shared_table(shared);
}

void unlock_login_throttle() {
    util::unlock_shared_table(shared);
}

bool init_login_throttle() {
    if (config::settings.login_delay == 0 || table != nullptr) return true;
    shared.repair = repair_table;
    const int rc = util::map_shared_table(shared, sizeof(throttle_table));
    if (rc != 0) {
        util::log_line(LOG_ERR, "%s: %s", "login throttle unavailable", std::strerror(rc));
        return false;
    }
    table = static_cast<throttle_table*>(util::shared_table_body(shared));  // zero-filled
    return true;
}

void end_login_throttle() {
    util::unmap_shared_table(shared);
    table = nullptr;
}

std::int64_t login_delay_ms(const char* address, std::int64_t now_ms) {
    if (table == nullptr || config::settings.login_delay == 0 || !lock_login_throttle()) return 0;
    expire(now_ms);
    const throttle_entry* e = util::find_keyed(table->entries, throttle_entries, address);
    const std::int64_t delay = e != nullptr ? delay_for(e->refusals) : 0;
    unlock_login_throttle();
    return delay;
}

void record_login(const char* address, bool accepted, std::int64_t now_ms) {
    if (table == nullptr || !lock_login_throttle()) return;
    expire(now_ms);
    throttle_entry* e = util::find_keyed(table->entries, throttle_entries, address);
    if (accepted) {
        if (e != nullptr) e->slot.used = false;
    } else {
        if (e == nullptr) {
            e = &util::take_keyed(table->entries, throttle_entries);
            e->refusals = 0;
        }
        if (e->refusals < UINT32_MAX) ++e->refusals;
        util::claim_key(e->slot, address, now_ms);
    }
    unlock_login_throttle();
}

}  // namespace tollmar::auth
