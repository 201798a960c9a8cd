#include "maildrop/maildrop_path.hpp"

#include <climits>

#include "util/strlcpy.hpp"

namespace tollmar::maildrop {

namespace {
char remembered[PATH_MAX + 1];
bool is_remembered = false;
}  // namespace

void remember_maildrop_path(const char* path) {
    if (path == nullptr) {
        forget_maildrop_path();
        return;
    }
    util::strlcpy(remembered, path, sizeof remembered);
    is_remembered = true;
}

const char* maildrop_path() {
    return is_remembered ? remembered : nullptr;
}

void forget_maildrop_path() {
    is_remembered = false;
    remembered[0] = '\0';
}

}  // namespace tollmar::maildrop
