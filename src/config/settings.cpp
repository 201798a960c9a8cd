#include "config/settings.hpp"

namespace tollmar::config {

settings_record settings;

}  // namespace tollmar::config
