#include "session/command_tables.hpp"

#include "session/commands.hpp"
#include "util/text.hpp"

namespace tollmar::session {

namespace {

// QUIT first: it ends the process without a verdict.
constexpr command authorization_rows[] = {
    {"QUIT", 4, cmd_auth_quit, false}, {"USER ", 5, cmd_user, false}, {"PASS ", 5, cmd_pass, false},
    {"CAPA", 4, cmd_auth_capa, false}, {"AUTH", 4, cmd_auth, false},  {"STLS", 4, cmd_stls, false},
};

// The blank belongs to RETR, DELE and TOP: they need an argument.
constexpr command transaction_rows[] = {
    {"QUIT", 4, cmd_quit, true},   {"STAT", 4, cmd_stat, false},  {"LIST", 4, cmd_list, false},
    {"RETR ", 5, cmd_retr, false}, {"DELE ", 5, cmd_dele, false}, {"NOOP", 4, cmd_noop, false},
    {"RSET", 4, cmd_rset, false},  {"TOP ", 4, cmd_top, false},   {"UIDL", 4, cmd_uidl, false},
    {"CAPA", 4, cmd_capa, false},
};

}  // namespace

const std::span<const command> authorization_commands = authorization_rows;
const std::span<const command> transaction_commands = transaction_rows;

const command* find_command(std::span<const command> table, const char* line) {
    for (const command& row : table) {
        if (util::starts_with_nocase(line, row.word, row.length)) return &row;
    }
    return nullptr;
}

}  // namespace tollmar::session
