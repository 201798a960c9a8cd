#include "server/connection_limits.hpp"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.hpp"
#include "server/listener.hpp"
#include "util/clock.hpp"
#include "util/fatal.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/shared_table.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::server {

namespace {

constexpr pid_t slot_free = 0;
constexpr pid_t slot_claimed = -1;  // taken for a fork whose pid is not known yet

struct connection_entry {
    pid_t pid;  // slot_free, slot_claimed or the connection process
    // False for a trusted proxy's connection until its process names the
    // client, and for a connection its process refused: it counts in the
    // total only.
    bool per_address;
    char address[util::peer_key_size];  // the client's key (util::peer_key)
};

// Refusal reports, one slot per recently refused address (stamped when its
// last line was written); the oldest slot is reused when all are taken, so a
// flood from many addresses stays bounded.
struct refusal_entry {
    util::keyed_slot slot;
    unsigned unreported;  // refusals since the last line
};

constexpr std::int64_t report_interval_ms = 60 * 1000;
constexpr std::size_t refusal_slots = 64;

// The shared table's body: this header, then slot_count entries.
struct table_body {
    refusal_entry refusals[refusal_slots];
    std::uint32_t slot_count;
};

constexpr std::size_t entries_offset = (sizeof(table_body) + alignof(connection_entry) - 1) /
                                       alignof(connection_entry) * alignof(connection_entry);

util::shared_table shared;
table_body* table = nullptr;
// The slot claimed last: in the listener, that of the connection being
// forked; in a connection process, inherited, its own.
int own_slot = -1;

connection_entry* entries() {
    return reinterpret_cast<connection_entry*>(reinterpret_cast<char*>(table) + entries_offset);
}

// A holder that died may have left any text half written: every one is
// terminated again, so no scan runs past its buffer. (A half-written address
// can at worst count a connection under a wrong key until it ends.)
void repair_table(void* body) {
    auto* t = static_cast<table_body*>(body);
    util::terminate_keys(t->refusals, refusal_slots);
    auto* slots = reinterpret_cast<connection_entry*>(static_cast<char*>(body) + entries_offset);
    for (std::uint32_t i = 0; i < t->slot_count; ++i) {
        slots[i].address[sizeof slots[i].address - 1] = '\0';
    }
}

struct counts {
    std::uint32_t total;
    std::uint32_t same;
};

// Live slots in total and those counted for address; with the lock held.
counts count_slots(const char* address) {
    counts c{0, 0};
    const connection_entry* slots = entries();
    for (std::uint32_t i = 0; i < table->slot_count; ++i) {
        if (slots[i].pid == slot_free) continue;
        ++c.total;
        if (slots[i].per_address && std::strcmp(slots[i].address, address) == 0) ++c.same;
    }
    return c;
}

[[noreturn]] void table_unavailable(const char* why) {
    util::fatal(nullptr, "%s: %s", "connection table unavailable", why);
}

}  // namespace

bool lock_connection_table() {
    return util::lock_shared_table(shared);
}

void unlock_connection_table() {
    util::unlock_shared_table(shared);
}

void init_connection_limits() {
    leave_connection_table();
    const std::uint32_t slot_count = config::settings.connection_limit;
    shared.repair = repair_table;
    const int rc = util::map_shared_table(
        shared, entries_offset + std::size_t{slot_count} * sizeof(connection_entry));
    if (rc != 0) table_unavailable(std::strerror(rc));
    table = static_cast<table_body*>(util::shared_table_body(shared));  // zero-filled: all free
    table->slot_count = slot_count;
    own_slot = -1;
}

void leave_connection_table() {
    util::unmap_shared_table(shared);
    table = nullptr;
    own_slot = -1;
}

void forget_connection(pid_t pid) {
    if (pid <= 0 || !lock_connection_table()) return;
    connection_entry* slots = entries();
    for (std::uint32_t i = 0; i < table->slot_count; ++i) {
        if (slots[i].pid == pid) {
            slots[i].pid = slot_free;
            break;
        }
    }
    unlock_connection_table();
}

admission admit_connection(const char* address, bool only_total) {
    if (!lock_connection_table()) return admission::total_full;
    const counts c = count_slots(address);
    const std::uint32_t slot_count = table->slot_count;
    unlock_connection_table();
    if (!only_total && c.same >= config::settings.per_address_limit) return admission::address_full;
    if (c.total >= config::settings.connection_limit || c.total >= slot_count)
        return admission::total_full;
    return admission::admitted;
}

bool claim_connection_slot(const char* address, bool via_proxy) {
    own_slot = -1;
    if (!lock_connection_table()) return false;
    connection_entry* slots = entries();
    for (std::uint32_t i = 0; i < table->slot_count; ++i) {
        if (slots[i].pid != slot_free) continue;
        slots[i].pid = slot_claimed;
        slots[i].per_address = !via_proxy;
        util::strlcpy(slots[i].address, address, sizeof slots[i].address);
        own_slot = static_cast<int>(i);
        break;
    }
    unlock_connection_table();
    return own_slot >= 0;
}

void record_connection(pid_t pid) {
    if (own_slot < 0 || !lock_connection_table()) return;
    entries()[own_slot].pid = pid > 0 ? pid : slot_free;
    unlock_connection_table();
    own_slot = -1;
}

admission rekey_own_connection(const char* address) {
    if (own_slot < 0 || !lock_connection_table()) return admission::admitted;
    connection_entry& own = entries()[own_slot];
    util::strlcpy(own.address, address, sizeof own.address);
    own.per_address = true;
    // Under the lock, so that of two connections keyed at once only those
    // within the limit are admitted.
    const bool over = count_slots(address).same > config::settings.per_address_limit;
    if (over) own.per_address = false;
    unlock_connection_table();
    return over ? admission::address_full : admission::admitted;
}

void report_refusal(const char* address, admission why, std::int64_t now) {
    unsigned unreported = 0;
    if (lock_connection_table()) {
        refusal_entry* e = util::find_keyed(table->refusals, refusal_slots, address);
        const bool report = e == nullptr || now - e->slot.stamp_ms >= report_interval_ms;
        if (report) {
            unreported = e != nullptr ? e->unreported : 0;
            if (e == nullptr) e = &util::take_keyed(table->refusals, refusal_slots);
            util::claim_key(e->slot, address, now);
            e->unreported = 0;
        } else {
            ++e->unreported;
        }
        unlock_connection_table();
        if (!report) return;
    }
    // Logged without the lock: a slow log must not hold up the listener.
    const bool per_address = why == admission::address_full;
    util::log_line(LOG_WARNING, "%s from %s (limit %u %s), %u more refused since the last report",
                   "too many connections", address,
                   static_cast<unsigned>(per_address ? config::settings.per_address_limit
                                                     : config::settings.connection_limit),
                   per_address ? "per address" : "in total", unreported);
}

void refuse_connection(int fd, const char* address, admission why) {
    if (!config::settings.use_tls) {
        static const char reply[] = "-ERR [SYS/TEMP] too many connections\r\n";
        // A client that does not read must not hold the listener: the reply
        // goes out only if the socket takes it at once.
        (void)send(fd, reply, sizeof reply - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    // The listening socket lingers on close; a refused socket must not.
    struct linger no_linger {};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
    close(fd);
    report_refusal(address, why, util::monotonic_ms());
}

}  // namespace tollmar::server
