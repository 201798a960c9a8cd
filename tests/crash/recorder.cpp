#include "crash/recorder.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

namespace tollmar::crash {
namespace {

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using write_fn = ssize_t (*)(int, const void*, size_t);
using pwrite_fn = ssize_t (*)(int, const void*, size_t, off_t);
using copy_fn = ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned);
using truncate_fn = int (*)(int, off_t);
using fd_fn = int (*)(int);
using range_fn = int (*)(int, off_t, off_t, unsigned);
using rename2_fn = int (*)(int, const char*, int, const char*, unsigned);
using linkat_fn = int (*)(int, const char*, int, const char*, int);
using unlinkat_fn = int (*)(int, const char*, int);

struct real_calls {
    open_fn open = next<open_fn>("open");
    openat_fn openat = next<openat_fn>("openat");
    write_fn write = next<write_fn>("write");
    pwrite_fn pwrite = next<pwrite_fn>("pwrite");
    copy_fn copy_file_range = next<copy_fn>("copy_file_range");
    truncate_fn ftruncate = next<truncate_fn>("ftruncate");
    fd_fn fsync = next<fd_fn>("fsync");
    fd_fn fdatasync = next<fd_fn>("fdatasync");
    fd_fn close = next<fd_fn>("close");
    range_fn sync_file_range = next<range_fn>("sync_file_range");
    rename2_fn renameat2 = next<rename2_fn>("renameat2");
    linkat_fn linkat = next<linkat_fn>("linkat");
    unlinkat_fn unlinkat = next<unlinkat_fn>("unlinkat");
};

real_calls& real() {
    static real_calls calls;
    return calls;
}

constexpr int folder_fd = -2;

struct recorder_state {
    bool on = false;
    std::string folder;
    std::vector<op> ops;
    std::map<std::pair<dev_t, ino_t>, int> inodes;
    std::map<int, int> fds;  // descriptor -> inode number, or folder_fd
    std::map<std::string, int> names;
    int next_inode = 0;
};
recorder_state rec;

// The name inside the watched folder that path (absolute, or relative to the
// folder's descriptor dirfd) stands for; false when it is elsewhere.
bool watched_name(int dirfd, const char* path, std::string* name) {
    if (!rec.on || path == nullptr) return false;
    std::string rest;
    if (path[0] == '/') {
        const std::size_t n = rec.folder.size();
        if (std::strncmp(path, rec.folder.c_str(), n) != 0 || path[n] != '/') return false;
        rest = path + n + 1;
    } else {
        const auto it = rec.fds.find(dirfd);
        if (it == rec.fds.end() || it->second != folder_fd) return false;
        rest = path;
    }
    if (rest.empty() || rest.find('/') != std::string::npos) return false;
    *name = rest;
    return true;
}

int tracked(int fd) {
    if (!rec.on) return -1;
    const auto it = rec.fds.find(fd);
    return it == rec.fds.end() ? -1 : it->second;
}

op make(op_kind kind, std::string name = {}, std::string name2 = {}, int inode = -1,
        std::int64_t offset = 0, std::int64_t length = 0, std::string data = {}) {
    op o;
    o.kind = kind;
    o.name = std::move(name);
    o.name2 = std::move(name2);
    o.inode = inode;
    o.offset = offset;
    o.length = length;
    o.data = std::move(data);
    return o;
}

void note(op o) {
    rec.ops.push_back(std::move(o));
}

int number_of(const struct stat& st) {
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    const auto it = rec.inodes.find(key);
    if (it != rec.inodes.end()) return it->second;
    return rec.inodes[key] = rec.next_inode++;
}

int opened(int dirfd, const char* path, int flags, mode_t mode) {
    std::string name;
    const bool in = watched_name(dirfd, path, &name);
    struct stat before;
    const bool existed = in && ::fstatat(dirfd, path, &before, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = real().openat(dirfd, path, flags, mode);
    if (fd < 0 || !rec.on) return fd;
    const bool folder = path[0] == '/' && rec.folder == path;
    if (folder) rec.fds[fd] = folder_fd;
    if (!in) return fd;
    struct stat st;
    if (::fstat(fd, &st) != 0) return fd;
    int number;
    if (!existed && (flags & O_CREAT) != 0) {
        number = rec.next_inode++;
        rec.inodes[std::make_pair(st.st_dev, st.st_ino)] = number;
        note(make(op_kind::create, name, "", number));
    } else {
        number = number_of(st);
        if ((flags & O_TRUNC) != 0 && existed && before.st_size > 0)
            note(make(op_kind::truncate, name, "", number, 0, 0));
    }
    rec.names[name] = number;
    rec.fds[fd] = number;
    return fd;
}

std::int64_t position(int fd) {
    if ((::fcntl(fd, F_GETFL) & O_APPEND) != 0) {
        struct stat st;
        return ::fstat(fd, &st) == 0 ? st.st_size : 0;
    }
    return ::lseek(fd, 0, SEEK_CUR);
}

void note_write(int number, std::int64_t offset, const void* data, ssize_t n) {
    if (n <= 0) return;
    note(make(op_kind::write, "", "", number, offset, n,
              std::string(static_cast<const char*>(data), static_cast<std::size_t>(n))));
}

void note_rename(const std::string& from, const std::string& to) {
    const auto it = rec.names.find(from);
    const int number = it == rec.names.end() ? -1 : it->second;
    rec.names.erase(from);
    rec.names[to] = number;
    note(make(op_kind::rename, from, to, number));
}

}  // namespace

std::vector<initial_file> start_recording(const std::string& folder) {
    rec = recorder_state{};
    rec.folder = folder;
    std::map<int, initial_file> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        struct stat st;
        const std::string path = entry.path().string();
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const int number = number_of(st);
        const std::string name = entry.path().filename().string();
        rec.names[name] = number;
        initial_file& file = files[number];
        file.inode = number;
        file.names.push_back(name);
        if (file.names.size() == 1) {
            std::FILE* f = std::fopen(path.c_str(), "rb");
            if (f != nullptr) {
                char buffer[65536];
                std::size_t n;
                while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                    file.content.append(buffer, n);
                std::fclose(f);
            }
        }
    }
    rec.on = true;
    std::vector<initial_file> out;
    for (auto& [number, file] : files) out.push_back(std::move(file));
    return out;
}

std::vector<op> stop_recording() {
    rec.on = false;
    rec.fds.clear();
    return std::move(rec.ops);
}

int inode_of(const std::string& name) {
    const auto it = rec.names.find(name);
    return it == rec.names.end() ? -1 : it->second;
}

std::string describe(const op& o) {
    char text[512];
    switch (o.kind) {
        case op_kind::create:
            std::snprintf(text, sizeof text, "create %s (file %d)", o.name.c_str(), o.inode);
            break;
        case op_kind::rename:
            std::snprintf(text, sizeof text, "rename %s -> %s", o.name.c_str(), o.name2.c_str());
            break;
        case op_kind::link:
            std::snprintf(text, sizeof text, "link %s -> %s", o.name.c_str(), o.name2.c_str());
            break;
        case op_kind::unlink:
            std::snprintf(text, sizeof text, "unlink %s", o.name.c_str());
            break;
        case op_kind::write:
            std::snprintf(text, sizeof text, "write file %d [%lld, +%lld)", o.inode,
                          static_cast<long long>(o.offset), static_cast<long long>(o.length));
            break;
        case op_kind::truncate:
            std::snprintf(text, sizeof text, "truncate file %d to %lld", o.inode,
                          static_cast<long long>(o.length));
            break;
        case op_kind::fsync:
            std::snprintf(text, sizeof text, "fsync file %d", o.inode);
            break;
        case op_kind::folder_sync:
            std::snprintf(text, sizeof text, "fsync folder");
            break;
        case op_kind::writeback:
            std::snprintf(text, sizeof text, "sync_file_range file %d", o.inode);
            break;
        case op_kind::close:
            std::snprintf(text, sizeof text, "close file %d", o.inode);
            break;
    }
    return text;
}

}  // namespace tollmar::crash

// The entry points the maildrop code reaches; each passes the call on.
using namespace tollmar::crash;

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return opened(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return opened(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return opened(dirfd, path, flags, mode);
}

ssize_t write(int fd, const void* buf, size_t count) {
    const int number = tracked(fd);
    const std::int64_t at = number >= 0 ? position(fd) : 0;
    const ssize_t n = real().write(fd, buf, count);
    if (number >= 0) note_write(number, at, buf, n);
    return n;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    const ssize_t n = real().pwrite(fd, buf, count, offset);
    const int number = tracked(fd);
    if (number >= 0) note_write(number, offset, buf, n);
    return n;
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    return pwrite(fd, buf, count, offset);
}

ssize_t copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset, size_t length,
                        unsigned flags) {
    const int number = tracked(out);
    const std::int64_t from = in_offset != nullptr ? *in_offset : ::lseek(in, 0, SEEK_CUR);
    const std::int64_t to = out_offset != nullptr ? *out_offset : position(out);
    const ssize_t n = real().copy_file_range(in, in_offset, out, out_offset, length, flags);
    if (number >= 0 && n > 0) {
        // The bytes the kernel copied, read back from their source.
        std::string data(static_cast<std::size_t>(n), '\0');
        if (::pread(in, data.data(), data.size(), from) == n)
            note(make(op_kind::write, "", "", number, to, n, std::move(data)));
    }
    return n;
}

int ftruncate(int fd, off_t length) {
    const int rc = real().ftruncate(fd, length);
    const int number = tracked(fd);
    if (rc == 0 && number >= 0) note(make(op_kind::truncate, "", "", number, 0, length));
    return rc;
}

int ftruncate64(int fd, off_t length) {
    return ftruncate(fd, length);
}

int fsync(int fd) {
    const int rc = real().fsync(fd);
    const int number = tracked(fd);
    if (rc == 0 && number == folder_fd) note(make(op_kind::folder_sync));
    if (rc == 0 && number >= 0) note(make(op_kind::fsync, "", "", number));
    return rc;
}

int fdatasync(int fd) {
    const int rc = real().fdatasync(fd);
    const int number = tracked(fd);
    if (rc == 0 && number == folder_fd) note(make(op_kind::folder_sync));
    if (rc == 0 && number >= 0) note(make(op_kind::fsync, "", "", number));
    return rc;
}

int sync_file_range(int fd, off_t offset, off_t length, unsigned flags) {
    const int rc = real().sync_file_range(fd, offset, length, flags);
    const int number = tracked(fd);
    if (rc == 0 && number >= 0) note(make(op_kind::writeback, "", "", number, offset, length));
    return rc;
}

int close(int fd) {
    const int number = tracked(fd);
    if (number >= 0) note(make(op_kind::close, "", "", number));
    if (rec.on) rec.fds.erase(fd);
    return real().close(fd);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
              unsigned flags) {
    std::string from, to;
    const bool in = watched_name(olddirfd, oldpath, &from) && watched_name(newdirfd, newpath, &to);
    const int rc = real().renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
    if (rc == 0 && in) note_rename(from, to);
    return rc;
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    return renameat2(olddirfd, oldpath, newdirfd, newpath, 0);
}

int rename(const char* oldpath, const char* newpath) {
    return renameat2(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0);
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    std::string from, to;
    const bool in = watched_name(olddirfd, oldpath, &from) && watched_name(newdirfd, newpath, &to);
    const int rc = real().linkat(olddirfd, oldpath, newdirfd, newpath, flags);
    if (rc == 0 && in) {
        rec.names[to] = inode_of(from);
        note(make(op_kind::link, from, to, inode_of(from)));
    }
    return rc;
}

int link(const char* oldpath, const char* newpath) {
    return linkat(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0);
}

int unlinkat(int dirfd, const char* path, int flags) {
    std::string name;
    const bool in = watched_name(dirfd, path, &name);
    const int rc = real().unlinkat(dirfd, path, flags);
    if (rc == 0 && in) {
        note(make(op_kind::unlink, name, "", inode_of(name)));
        rec.names.erase(name);
    }
    return rc;
}

int unlink(const char* path) {
    return unlinkat(AT_FDCWD, path, 0);
}

}  // extern "C"
