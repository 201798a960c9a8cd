// The resolved maildrop path, remembered from its resolution until whoever
// removes the dot-lock forgets it; read by the exit hooks.
#pragma once

namespace tollmar::maildrop {

void remember_maildrop_path(const char* path);  // keeps its own copy
const char* maildrop_path();                    // nullptr when none is remembered
void forget_maildrop_path();

}  // namespace tollmar::maildrop
