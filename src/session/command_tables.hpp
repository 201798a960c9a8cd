// The command tables of the two POP3 states, and their lookup. A command is
// recognised by a fixed number of leading characters, ignoring case; the
// first matching row wins.
#pragma once
#include <cstddef>
#include <span>

namespace tollmar::session {

using command_handler = void (*)(int fd, const char* line);

struct command {
    const char* word;
    std::size_t length;  // characters of word that must match
    command_handler handler;
    bool ends_state;  // the state is over once the handler returns (QUIT)
};

// USER, PASS, AUTH, STLS, CAPA and QUIT before the login.
extern const std::span<const command> authorization_commands;

// The message commands, CAPA and QUIT after the login.
extern const std::span<const command> transaction_commands;

// The first row of table whose word matches the start of line; nullptr when
// none does.
const command* find_command(std::span<const command> table, const char* line);

}  // namespace tollmar::session
