#include "maildrop/content_digest.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>

#include "maildrop/file_io.hpp"

namespace tollmar::maildrop::detail {

namespace {

EVP_MD* fetched = nullptr;  // SHA-256 once digest_prepare ran
EVP_MD_CTX* running = nullptr;
bool running_ok = false;
char range_buffer[65536];

}  // namespace

void digest_prepare() {
    if (fetched != nullptr) return;
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
}

void digest_begin() {
    if (running == nullptr) running = EVP_MD_CTX_new();
    const EVP_MD* md = fetched != nullptr ? fetched : EVP_sha256();
    running_ok = running != nullptr && EVP_DigestInit_ex(running, md, nullptr) == 1;
}

void digest_add(const char* data, std::size_t length) {
    if (running_ok && length > 0) running_ok = EVP_DigestUpdate(running, data, length) == 1;
}

bool digest_finish(unsigned char* out) {
    unsigned int n = 0;
    const bool ok =
        running_ok && EVP_DigestFinal_ex(running, out, &n) == 1 && n == content_digest_size;
    running_ok = false;
    return ok;
}

bool digest_range(int fd, std::int64_t length, unsigned char* out) {
    digest_begin();
    std::int64_t at = 0;
    while (at < length) {
        const std::size_t n = length - at < static_cast<std::int64_t>(sizeof range_buffer)
                                  ? static_cast<std::size_t>(length - at)
                                  : sizeof range_buffer;
        const ssize_t got = pread_full(fd, range_buffer, n, static_cast<off_t>(at));
        if (got < 0 || static_cast<std::size_t>(got) != n) {
            if (got >= 0) errno = EIO;
            running_ok = false;
            return false;
        }
        digest_add(range_buffer, n);
        at += static_cast<std::int64_t>(n);
    }
    return digest_finish(out);
}

}  // namespace tollmar::maildrop::detail
