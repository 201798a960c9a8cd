#include "auth/login_throttle.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "config/settings.hpp"
#include "digest/siphash.hpp"
#include "util/log.hpp"
#include "util/shared_table.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::auth {

namespace {

// 8192 entries a table: an attacker who wants a key forgotten must refuse
// himself more often than that key, in its bucket, which he cannot find.
constexpr std::size_t bucket_count = 1024;  // a power of two
constexpr std::size_t bucket_size = 8;
constexpr std::int64_t entry_lifetime_ms = 5 * 60 * 1000;
constexpr std::int64_t longest_delay_ms = 15 * 1000;

// The slot's stamp is the time of the last refusal.
struct throttle_entry {
    util::keyed_slot slot;
    std::uint32_t refusals;
};

struct keyed_table {
    throttle_entry entries[bucket_count * bucket_size];
};

struct throttle_body {
    unsigned char secret[digest::siphash_key_size];
    keyed_table clients;
    keyed_table names;
};

util::shared_table shared;
throttle_body* body = nullptr;

void repair(void* memory) {
    auto* b = static_cast<throttle_body*>(memory);
    util::terminate_keys(b->clients.entries, bucket_count * bucket_size);
    util::terminate_keys(b->names.entries, bucket_count * bucket_size);
}

void make_secret(void* memory) {
    auto* b = static_cast<throttle_body*>(memory);
    // Fails only before the kernel's pool is ready; the table then works,
    // its buckets merely predictable.
    (void)getrandom(b->secret, sizeof b->secret, 0);
}

// A key as the table keeps it, cut to fit an entry: hashed and compared in
// that form, or a longer key would never find the entry made for it.
struct cut_key {
    explicit cut_key(const char* key) { util::strlcpy(text, key, sizeof text); }
    char text[util::table_key_size];
};

// The bucket of key, with its entries whose time ran out freed, so that they
// are reused before any live one.
throttle_entry* bucket_of(keyed_table& table, const char* key, std::int64_t now_ms) {
    const std::uint64_t hash = digest::siphash24(body->secret, key, std::strlen(key));
    throttle_entry* bucket = &table.entries[(hash & (bucket_count - 1)) * bucket_size];
    for (std::size_t i = 0; i < bucket_size; ++i) {
        throttle_entry& e = bucket[i];
        if (e.slot.used && now_ms - e.slot.stamp_ms >= entry_lifetime_ms) e.slot.used = false;
    }
    return bucket;
}

std::int64_t delay_for(std::uint32_t refusals) {
    const std::int64_t base = std::int64_t{config::settings.login_delay} * 1000;
    const std::int64_t cap = base > longest_delay_ms ? base : longest_delay_ms;
    std::int64_t delay = base;
    for (std::uint32_t i = 1; i < refusals && delay < cap; ++i) delay *= 2;
    return delay < cap ? delay : cap;
}

std::int64_t delay_of(keyed_table& table, const char* key, std::int64_t now_ms) {
    throttle_entry* bucket = bucket_of(table, key, now_ms);
    const throttle_entry* e = util::find_keyed(bucket, bucket_size, key);
    return e != nullptr ? delay_for(e->refusals) : 0;
}

bool fewer_refusals(const throttle_entry& a, const throttle_entry& b) {
    if (a.refusals != b.refusals) return a.refusals < b.refusals;
    return a.slot.stamp_ms < b.slot.stamp_ms;
}

void count_refusal(keyed_table& table, const char* key, std::int64_t now_ms) {
    throttle_entry* bucket = bucket_of(table, key, now_ms);
    throttle_entry* e = util::find_keyed(bucket, bucket_size, key);
    if (e == nullptr) {
        e = &util::take_keyed(bucket, bucket_size, fewer_refusals);
        e->refusals = 0;
    }
    if (e->refusals < UINT32_MAX) ++e->refusals;
    util::claim_key(e->slot, key, now_ms);
}

void clear(keyed_table& table, const char* key, std::int64_t now_ms) {
    throttle_entry* e = util::find_keyed(bucket_of(table, key, now_ms), bucket_size, key);
    if (e != nullptr) e->slot.used = false;
}

}  // namespace

bool lock_login_throttle() {
    return util::lock_shared_table(shared);
}

void unlock_login_throttle() {
    util::unlock_shared_table(shared);
}

bool init_login_throttle(const char* shared_file) {
    if (config::settings.login_delay == 0 || body != nullptr) return true;
    shared.repair = repair;
    int rc;
    if (shared_file != nullptr) {
        rc = util::map_shared_file(shared, shared_file, sizeof(throttle_body), make_secret);
    } else {
        rc = util::map_shared_table(shared, sizeof(throttle_body));
        if (rc == 0) make_secret(util::shared_table_body(shared));
    }
    if (rc != 0) {
        util::log_line(LOG_ERR, "%s: %s", "login throttle unavailable", std::strerror(rc));
        return false;
    }
    body = static_cast<throttle_body*>(util::shared_table_body(shared));
    return true;
}

void end_login_throttle() {
    util::unmap_shared_table(shared);
    body = nullptr;
}

std::int64_t login_delay_ms(const char* client, const char* name, std::int64_t now_ms) {
    if (body == nullptr || config::settings.login_delay == 0 || !lock_login_throttle()) return 0;
    const std::int64_t by_client = delay_of(body->clients, cut_key(client).text, now_ms);
    const std::int64_t by_name = delay_of(body->names, cut_key(name).text, now_ms);
    unlock_login_throttle();
    return by_client > by_name ? by_client : by_name;
}

void record_login(const char* client, const char* name, bool accepted, std::int64_t now_ms) {
    if (body == nullptr || !lock_login_throttle()) return;
    const cut_key client_key(client);
    if (accepted) {
        clear(body->clients, client_key.text, now_ms);
    } else {
        count_refusal(body->clients, client_key.text, now_ms);
        count_refusal(body->names, cut_key(name).text, now_ms);
    }
    unlock_login_throttle();
}

}  // namespace tollmar::auth
