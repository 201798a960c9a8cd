#include "util/shared_table.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>

namespace tollmar::util {

namespace {

// The body starts on a cache line of its own, which also suits any entry type.
constexpr std::size_t body_offset = (sizeof(pthread_mutex_t) + 63) / 64 * 64;

// Process-shared and robust: a holder that dies hands the mutex on with
// EOWNERDEAD instead of leaving every later taker waiting for ever.
int init_shared_mutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc != 0) return rc;
    rc = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (rc == 0) rc = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return rc;
}

pthread_mutex_t* mutex_of(shared_table& table) {
    return static_cast<pthread_mutex_t*>(table.memory);
}

}  // namespace

int map_shared_table(shared_table& table, std::size_t body_size) {
    unmap_shared_table(table);
    const std::size_t size = body_offset + body_size;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return errno;
    const int rc = init_shared_mutex(static_cast<pthread_mutex_t*>(memory));
    if (rc != 0) {
        munmap(memory, size);
        return rc;
    }
    table.memory = memory;
    table.size = size;
    return 0;
}

void unmap_shared_table(shared_table& table) {
    if (table.memory == nullptr) return;
    munmap(table.memory, table.size);
    table.memory = nullptr;
    table.size = 0;
}

void* shared_table_body(const shared_table& table) {
    return static_cast<char*>(table.memory) + body_offset;
}

bool lock_shared_table(shared_table& table) {
    if (table.memory == nullptr) return false;
    const int rc = pthread_mutex_lock(mutex_of(table));
    if (rc == EOWNERDEAD) {
        if (table.repair != nullptr) table.repair(shared_table_body(table));
        pthread_mutex_consistent(mutex_of(table));
        return true;
    }
    return rc == 0;
}

void unlock_shared_table(shared_table& table) {
    pthread_mutex_unlock(mutex_of(table));
}

}  // namespace tollmar::util
