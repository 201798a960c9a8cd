#include "util/strlcpy.hpp"

#include <cstring>

namespace tollmar::util {

std::size_t strlcpy(char* dst, const char* src, std::size_t size) {
    const std::size_t len = std::strlen(src);
    if (size > 0) {
        const std::size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}

}  // namespace tollmar::util
