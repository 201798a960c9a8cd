#include "util/shared_table.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace tollmar::util {

namespace {

struct table_head {
    pthread_mutex_t lock;
    // Set last in a table file; another layout or size reads as another value.
    std::uint64_t layout;
};

// The body starts on a cache line of its own, which also suits any entry type.
constexpr std::size_t body_offset = (sizeof(table_head) + 63) / 64 * 64;

constexpr std::uint64_t layout_of(std::size_t size) {
    return 0x746f6c6c6d617201ULL ^ size;
}

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
    return &static_cast<table_head*>(table.memory)->lock;
}

// A table file only root (or whoever runs the server) may have written.
bool usable(int fd, std::size_t size) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 07777) == 0600 && static_cast<std::size_t>(st.st_size) == size;
}

// Maps fd's table when the file is usable and holds the expected layout.
bool map_file(shared_table& table, int fd, std::size_t size) {
    if (!usable(fd, size)) return false;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return false;
    if (static_cast<table_head*>(memory)->layout != layout_of(size)) {
        munmap(memory, size);
        return false;
    }
    table.memory = memory;
    table.size = size;
    return true;
}

// Makes a complete table file under a temporary name and puts it at path:
// beside a missing file with link (of two processes racing, one wins and the
// other maps the winner's), over an unusable one with rename.
int publish_table_file(const char* path, std::size_t size, void (*init)(void*), bool replace) {
    char temporary[PATH_MAX];
    if (std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", path) >=
        static_cast<int>(sizeof temporary))
        return ENAMETOOLONG;
    const int fd = mkostemp(temporary, O_CLOEXEC);  // mode 0600
    if (fd < 0) return errno;
    int rc = ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
    void* memory = MAP_FAILED;
    if (rc == 0) memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (rc == 0 && memory == MAP_FAILED) rc = errno;
    if (rc == 0) {
        auto* head = static_cast<table_head*>(memory);
        rc = init_shared_mutex(&head->lock);
        if (rc == 0 && init != nullptr) init(static_cast<char*>(memory) + body_offset);
        head->layout = layout_of(size);
        munmap(memory, size);
    }
    close(fd);
    if (rc == 0 && (replace ? rename(temporary, path) : link(temporary, path)) != 0 &&
        errno != EEXIST)
        rc = errno;
    unlink(temporary);
    return rc;
}

}  // namespace

int map_shared_table(shared_table& table, std::size_t body_size) {
    unmap_shared_table(table);
    const std::size_t size = body_offset + body_size;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return errno;
    const int rc = init_shared_mutex(&static_cast<table_head*>(memory)->lock);
    if (rc != 0) {
        munmap(memory, size);
        return rc;
    }
    table.memory = memory;
    table.size = size;
    return 0;
}

int map_shared_file(shared_table& table, const char* path, std::size_t body_size,
                    void (*init)(void* body)) {
    unmap_shared_table(table);
    const std::size_t size = body_offset + body_size;
    // A second round maps the file the first one made (or found made).
    for (int round = 0; round < 3; ++round) {
        const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT) return errno;
        const bool mapped = fd >= 0 && map_file(table, fd, size);
        if (fd >= 0) close(fd);
        if (mapped) return 0;
        const int rc = publish_table_file(path, size, init, fd >= 0);
        if (rc != 0) return rc;
    }
    return EAGAIN;
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
