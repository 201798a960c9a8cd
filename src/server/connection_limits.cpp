#include "server/connection_limits.hpp"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "config/settings.hpp"
#include "server/listener.hpp"
#include "util/log.hpp"
#include "util/peer_address.hpp"
#include "util/strlcpy.hpp"

namespace tollmar::server {

namespace {

struct connection_entry {
    pid_t pid;  // 0: free
    char address[util::peer_host_size];
};

// Refusal reports, one slot per recently refused address; the oldest slot
// is reused when all are taken, so a flood from many addresses stays bounded.
struct refusal_entry {
    char address[util::peer_host_size];
    std::int64_t reported_ms;  // when its last line was written
    unsigned unreported;       // refusals since then
    bool used;
};

constexpr std::int64_t report_interval_ms = 60 * 1000;
constexpr std::size_t refusal_slots = 64;

std::vector<connection_entry> connections;
refusal_entry refusals[refusal_slots];
volatile std::sig_atomic_t child_ended = 0;

std::int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

refusal_entry& refusal_slot(const char* address) {
    refusal_entry* oldest = &refusals[0];
    for (refusal_entry& e : refusals) {
        if (e.used && std::strcmp(e.address, address) == 0) return e;
        if (!e.used || (oldest->used && e.reported_ms < oldest->reported_ms)) oldest = &e;
    }
    oldest->used = false;
    return *oldest;
}

}  // namespace

void init_connection_limits() {
    connections.assign(config::settings.connection_limit, connection_entry{});
    for (refusal_entry& e : refusals) e = refusal_entry{};
    child_ended = 0;
}

void note_child_ended(int) {
    child_ended = 1;
}

void reap_ended_connections() {
    if (child_ended == 0) return;
    child_ended = 0;
    reap_children(SIGCHLD);
}

void forget_connection(pid_t pid) {
    for (connection_entry& e : connections) {
        if (e.pid == pid) {
            e.pid = 0;
            return;
        }
    }
}

admission admit_connection(const char* address, bool only_total) {
    std::uint32_t total = 0;
    std::uint32_t same = 0;
    for (const connection_entry& e : connections) {
        if (e.pid == 0) continue;
        ++total;
        if (std::strcmp(e.address, address) == 0) ++same;
    }
    if (!only_total && same >= config::settings.per_address_limit) return admission::address_full;
    if (total >= config::settings.connection_limit || total >= connections.size())
        return admission::total_full;
    return admission::admitted;
}

void record_connection(pid_t pid, const char* address) {
    for (connection_entry& e : connections) {
        if (e.pid == 0) {
            e.pid = pid;
            util::strlcpy(e.address, address, sizeof e.address);
            return;
        }
    }
}

void report_refusal(const char* address, admission why, std::int64_t now) {
    refusal_entry& e = refusal_slot(address);
    if (e.used && now - e.reported_ms < report_interval_ms) {
        ++e.unreported;
        return;
    }
    const bool per_address = why == admission::address_full;
    util::log_line(LOG_WARNING, "%s from %s (limit %u %s), %u more refused since the last report",
                   "too many connections", address,
                   static_cast<unsigned>(per_address ? config::settings.per_address_limit
                                                     : config::settings.connection_limit),
                   per_address ? "per address" : "in total", e.used ? e.unreported : 0);
    util::strlcpy(e.address, address, sizeof e.address);
    e.reported_ms = now;
    e.unreported = 0;
    e.used = true;
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
    report_refusal(address, why, now_ms());
}

}  // namespace tollmar::server
