#include "util/ending.hpp"

namespace tollmar::util {

namespace {

ending noted = ending::unknown;

}  // namespace

void note_ending(ending why) {
    if (noted == ending::unknown) noted = why;
}

ending noted_ending() {
    return noted;
}

const char* ending_name(ending why) {
    switch (why) {
        case ending::quit:
            return "quit";
        case ending::timeout:
            return "timeout";
        case ending::broken:
            return "broken";
        case ending::signal:
            return "signal";
        case ending::unknown:
            break;
    }
    return "error";
}

}  // namespace tollmar::util
