#pragma once

namespace tollmar::session {

// The reply to CAPA, the same in both phases.
void capability_list(int fd);

}  // namespace tollmar::session
