// Feeds arbitrary list files and names to the access-list matcher.
//
// Input: one byte n, then n bytes of name (cut at the first NUL, as a C text
// would be), then the bytes of the list file.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "auth/access_list.hpp"

namespace {

char list_path[] = "/tmp/tollmar-fuzz-list-XXXXXX";
int list_fd = -1;

bool write_list(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(list_fd, 0) != 0) return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(list_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void remove_list() {
    unlink(list_path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (list_fd < 0) {
        list_fd = mkstemp(list_path);
        if (list_fd < 0) abort();
        atexit(remove_list);
    }
    if (size < 1) return 0;
    std::size_t name_length = data[0];
    if (name_length > size - 1) name_length = size - 1;
    char name[256];
    std::memcpy(name, data + 1, name_length);
    name[name_length] = '\0';

    const std::uint8_t* list = data + 1 + name_length;
    const std::size_t list_size = size - 1 - name_length;
    if (!write_list(list, list_size)) abort();

    const int listed = tollmar::auth::user_listed(name, list_path);
    if (listed != 0 && listed != 1) abort();  // a regular file we just wrote is readable

    // A list that is exactly the name and a line feed always lists it.
    const std::size_t text_length = std::strlen(name);
    if (text_length > 0 && std::memchr(name, '\n', text_length) == nullptr && name[0] != '#' &&
        name[0] != ' ' && name[0] != '\t') {
        std::uint8_t line[257];
        std::memcpy(line, name, text_length);
        line[text_length] = '\n';
        if (!write_list(line, text_length + 1)) abort();
        if (tollmar::auth::user_listed(name, list_path) != 1) abort();
    }
    return 0;
}
