// The message commands of the transaction state.
#pragma once
#include <cstdint>

namespace tollmar::session {

void cmd_stat(std::int64_t* count, std::int64_t* octets);
void cmd_list(int fd, const char* line);
void cmd_retr(int fd, const char* line);
void cmd_top(int fd, const char* line);
void cmd_dele(int fd, const char* line);
void cmd_rset();
void cmd_uidl(int fd, const char* text);
void send_unique_id(int fd, int index);

}  // namespace tollmar::session
