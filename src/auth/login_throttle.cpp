#include "auth/login_throttle.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "config/settings.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/shared_mutex.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::auth {

namespace {

constexpr std::size_t throttle_entries = 1024;
constexpr std::int64_t entry_lifetime_ms = 5 * 60 * 1000;
constexpr std::int64_t longest_delay_ms = 15 * 1000;

struct throttle_entry {
    char address[util::peer_host_size];
    std::int64_t last_refusal_ms;
    std::uint32_t refusals;  // 0: free
};

struct throttle_table {
    pthread_mutex_t lock;
    throttle_entry entries[throttle_entries];
};

throttle_table* table = nullptr;

// A robust mutex: a session killed while holding it must not stall every
// later login.
bool lock_table() {
    const int rc = pthread_mutex_lock(&table->lock);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&table->lock);
        return true;
    }
    return rc == 0;
}

bool expired(const throttle_entry& e, std::int64_t now_ms) {
    return e.refusals == 0 || now_ms - e.last_refusal_ms >= entry_lifetime_ms;
}

throttle_entry* find(const char* address, std::int64_t now_ms) {
    for (throttle_entry& e : table->entries) {
        if (!expired(e, now_ms) && std::strcmp(e.address, address) == 0) return &e;
    }
    return nullptr;
}

// A free or expired entry, else the one refused longest ago.
throttle_entry& take_entry(std::int64_t now_ms) {
    throttle_entry* oldest = &table->entries[0];
    for (throttle_entry& e : table->entries) {
        if (expired(e, now_ms)) return e;
        if (e.last_refusal_ms < oldest->last_refusal_ms) oldest = &e;
    }
    return *oldest;
}

std::int64_t delay_for(std::uint32_t refusals) {
    const std::int64_t base = std::int64_t{config::settings.login_delay} * 1000;
    const std::int64_t cap = base > longest_delay_ms ? base : longest_delay_ms;
    std::int64_t delay = base;
    for (std::uint32_t i = 1; i < refusals && delay < cap; ++i) delay *= 2;
    return delay < cap ? delay : cap;
}

}  // namespace

bool init_login_throttle() {
    if (config::settings.login_delay == 0 || table != nullptr) return true;
    void* memory = mmap(nullptr, sizeof(throttle_table), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        util::log_line(LOG_ERR, "%s: %s", "login throttle unavailable", std::strerror(errno));
        return false;
    }
    auto* fresh = static_cast<throttle_table*>(memory);  // zero-filled by mmap
    const int rc = util::init_shared_mutex(&fresh->lock);
    if (rc != 0) {
        util::log_line(LOG_ERR, "%s: %s", "login throttle unavailable", std::strerror(rc));
        munmap(memory, sizeof(throttle_table));
        return false;
    }
    table = fresh;
    return true;
}

void end_login_throttle() {
    if (table == nullptr) return;
    pthread_mutex_destroy(&table->lock);
    munmap(table, sizeof(throttle_table));
    table = nullptr;
}

void detach_login_throttle() {
    if (table == nullptr) return;
    munmap(table, sizeof(throttle_table));
    table = nullptr;
}

std::int64_t login_delay_ms(const char* address, std::int64_t now_ms) {
    if (table == nullptr || config::settings.login_delay == 0 || !lock_table()) return 0;
    const throttle_entry* e = find(address, now_ms);
    const std::int64_t delay = e != nullptr ? delay_for(e->refusals) : 0;
    pthread_mutex_unlock(&table->lock);
    return delay;
}

void record_login(const char* address, bool accepted, std::int64_t now_ms) {
    if (table == nullptr || !lock_table()) return;
    throttle_entry* e = find(address, now_ms);
    if (accepted) {
        if (e != nullptr) e->refusals = 0;
    } else {
        if (e == nullptr) {
            e = &take_entry(now_ms);
            util::strlcpy(e->address, address, sizeof e->address);
            e->refusals = 0;
        }
        if (e->refusals < UINT32_MAX) ++e->refusals;
        e->last_refusal_ms = now_ms;
    }
    pthread_mutex_unlock(&table->lock);
}

}  // namespace tollmar::auth
