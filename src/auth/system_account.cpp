#include <pwd.h>
#include <unistd.h>

#include <cstring>

#if __has_include(<crypt.h>)
#include <crypt.h>
#endif
#if __has_include(<shadow.h>)
#include <shadow.h>
#define TOLLMAR_HAVE_SHADOW 1
#endif

#include "auth/constant_time.hpp"
#include "auth/credential_checks.hpp"

namespace tollmar::auth {

namespace {

// Hashes of a throw-away password, crypted for an account that does not
// exist so that the answer takes as long as for one that does. The first
// method the platform's crypt knows is used.
constexpr const char* dummy_hashes[] = {
    "$y$j9T$zfI.4CCBthL9/b4rXdy9..$k9dbJ25d0MsHVJgBPs9xLF98m3h8XTtwf0qqgXBcqV.",
    "$6$648ZYqnIvRYGn1wd$ccF2wEcCmGBTJ00kkNmpUZT61f85RQbvMS0FCY/"
    "090Gprt1Nfbe0Z2E1z15NpBq.A5sQIOl9Y4F."
    "cvFs6maJ3.",
};

bool is_crypt_alphabet(char c) {
    return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
}

// "$id$..." hashes, extended DES "_...", or a 13-character traditional DES
// hash. Anything else ("x", "*", "!", empty) means the hash lives elsewhere
// or there is none.
bool looks_like_hash(const char* field) {
    if (field[0] == '$' || field[0] == '_') return true;
    if (std::strlen(field) != 13) return false;
    for (int i = 0; i < 13; ++i) {
        if (!is_crypt_alphabet(field[i])) return false;
    }
    return true;
}

// Spends on password what checking it against a real account costs. The
// work of crypt depends on the method and rounds of the stored hash, so the
// hash of the first account in the shadow file that has one stands for them
// all (the password is refused whatever crypt says); only on a host without
// any does a throw-away hash serve.
void spend_crypt(const char* password) {
#ifdef TOLLMAR_HAVE_SHADOW
    char sample[512] = "";
    setspent();
    while (const struct spwd* entry = getspent()) {
        if (entry->sp_pwdp != nullptr && looks_like_hash(entry->sp_pwdp) &&
            std::strlen(entry->sp_pwdp) < sizeof sample) {
            std::strcpy(sample, entry->sp_pwdp);
            break;
        }
    }
    endspent();
    if (sample[0] != '\0') {
        const char* result = crypt(password, sample);
        volatile bool sink = result != nullptr && texts_equal_constant_time(result, sample);
        (void)sink;
        explicit_bzero(sample, sizeof sample);
        return;
    }
#endif
    for (const char* hash : dummy_hashes) {
        const char* result = crypt(password, hash);
        if (result != nullptr && result[0] != '*') {
            volatile bool sink = texts_equal_constant_time(result, hash);
            (void)sink;
            return;
        }
    }
}

login_result refused(refusal_reason reason) {
    login_result result{};
    result.verdict = verdict_refused;
    result.reason = reason;
    return result;
}

}  // namespace

bool check_stored_hash(const char* password, const char* stored) {
    // An empty field would let some crypt implementations return an empty
    // text, which would then equal it for every password.
    if (stored[0] == '\0') return false;
    const char* result = crypt(password, stored);
    // libcrypt signals failure with a "*"-prefixed token instead of null.
    if (result == nullptr || result[0] == '*') return false;
    return texts_equal_constant_time(result, stored);
}

login_result check_system_account(const char* name, const char* password) {
    const struct passwd* account = getpwnam(name);
    if (account == nullptr || account->pw_passwd == nullptr) {
        spend_crypt(password);
        return refused(account == nullptr ? refusal_unknown_account : refusal_no_password);
    }
    const char* stored = account->pw_passwd;
#ifdef TOLLMAR_HAVE_SHADOW
    // Where the account database keeps only a placeholder, the hash is in the
    // shadow file, which the connection process can read while it is root.
    if (!looks_like_hash(stored)) {
        const struct spwd* shadow = getspnam(name);
        if (shadow != nullptr && shadow->sp_pwdp != nullptr) stored = shadow->sp_pwdp;
    }
#endif
    // A locked or empty field gives crypt nothing to work on, which would
    // answer faster than a real hash does.
    if (!looks_like_hash(stored)) {
        spend_crypt(password);
        return refused(refusal_no_password);
    }
    if (!check_stored_hash(password, stored)) return refused(refusal_wrong_password);
    login_result accepted{};
    accepted.verdict = verdict_accepted;
    return accepted;
}

}  // namespace tollmar::auth
