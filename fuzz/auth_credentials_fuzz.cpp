// Feeds arbitrary authentication files, names and passwords to the credential
// check.
//
// Input: one byte n, n bytes of name, one byte m, m bytes of password (each
// cut at its first NUL), then the bytes of the authentication file.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "auth/credentials.hpp"
#include "config/settings.hpp"

namespace {

char file_path[] = "/tmp/tollmar-fuzz-users-XXXXXX";
int file_fd = -1;

bool write_file(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(file_fd, 0) != 0) return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(file_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void remove_file() {
    unlink(file_path);
}

// Takes a length byte and that many bytes (fewer at the end of the input).
void take_text(const std::uint8_t*& data, std::size_t& size, char (&text)[256]) {
    std::size_t length = 0;
    if (size > 0) {
        length = data[0];
        ++data;
        --size;
    }
    if (length > size) length = size;
    std::memcpy(text, data, length);
    text[length] = '\0';
    data += length;
    size -= length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (file_fd < 0) {
        file_fd = mkstemp(file_path);
        if (file_fd < 0) abort();
        atexit(remove_file);
        tollmar::config::settings.auth_file = file_path;
        tollmar::config::settings.use_access_lists = 0;
    }
    char name[256];
    char password[256];
    take_text(data, size, name);
    take_text(data, size, password);
    if (!write_file(data, size)) abort();

    static tollmar::auth::login_result result;
    result = tollmar::auth::check_credentials(name, password);
    const int verdict = result.verdict;
    if (verdict != 0 && verdict != 1) abort();  // the file exists and the arguments are given
    const bool accepted_reason = result.reason == tollmar::auth::refusal_none;
    if ((verdict == 1) != accepted_reason) abort();
    const bool identity_set = result.mapped_user[0] != '\0' && result.maildrop[0] != '\0';
    const bool identity_empty = result.mapped_user[0] == '\0' && result.maildrop[0] == '\0';
    if (verdict == 1 ? !identity_set : !identity_empty) abort();
    return 0;
}
