// Bounded string copy with the BSD contract.
#pragma once
#include <cstddef>

namespace tollmar::util {

// Copies at most size - 1 bytes of src into dst and always terminates dst when
// size > 0. Returns strlen(src), so a result >= size means the copy was cut.
std::size_t strlcpy(char* dst, const char* src, std::size_t size);

}  // namespace tollmar::util
