// The journal replay. The input makes an old maildrop, the new content a
// rewrite made of it (sharing a prefix with the old maildrop, which the
// journal leaves out), how far the rewrite got before it stopped, and the mail
// appended afterwards. A journal as the update writes it must bring the
// maildrop to exactly the new content plus the appended mail, and go; the same
// journal with its header damaged must fail and change nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "maildrop/journal.hpp"

namespace {

char folder[4096];
std::string mbox;
std::string journal;
std::string temp;
std::string content_file;

void set_up() {
    if (folder[0] != '\0') return;
    // Under $TMPDIR when set, so that the runner can remove it afterwards.
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(folder, sizeof folder, "%s/journal_fuzz_XXXXXX", tmp != nullptr ? tmp : "/tmp");
    if (mkdtemp(folder) == nullptr) std::abort();
    mbox = std::string(folder) + "/mbox";
    journal = mbox + tollmar::maildrop::detail::journal_suffix;
    temp = mbox + tollmar::maildrop::detail::journal_temp_suffix;
    content_file = std::string(folder) + "/content";
}

void write_whole(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    close(fd);
}

std::string read_whole(const std::string& path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) std::abort();
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return out;
}

// Writes and commits the journal for the maildrop open at fd, as the update
// does: the header for the maildrop's current length, then the new content
// from base on.
void make_journal(int fd, const std::string& content, std::size_t base,
                  std::int64_t source_length) {
    using namespace tollmar::maildrop::detail;
    write_whole(content_file, content);
    const int src = open(content_file.c_str(), O_RDONLY);
    journal_writer writer;
    if (src < 0 || !journal_create(writer, temp.c_str(), static_cast<std::int64_t>(base)) ||
        journal_copy(writer, src, static_cast<std::int64_t>(base),
                     static_cast<std::int64_t>(content.size() - base)) != copy_done ||
        !journal_seal(writer, fd, source_length) || !journal_commit(temp.c_str(), journal.c_str()))
        std::abort();
    close(src);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tollmar::maildrop::detail;
    set_up();
    if (size < 5) return 0;
    const bool damaged = (data[0] & 1) != 0;
    const std::size_t damage_at = data[1];  // a byte of the header
    std::size_t old_length = data[2] + 1;
    const std::size_t progress = data[3];     // bytes of new content already written in place
    const std::size_t base_wanted = data[4];  // bytes the rewrite leaves where they are
    data += 5;
    size -= 5;
    if (old_length > size) old_length = size;
    const std::string old_maildrop(reinterpret_cast<const char*>(data), old_length);
    std::string rest(reinterpret_cast<const char*>(data) + old_length, size - old_length);
    // The rewrite only ever shortens: the new content is shorter than the old.
    const std::size_t split = rest.size() / 2;
    std::string content = rest.substr(0, split);
    const std::string appended = rest.substr(split);
    if (content.size() >= old_maildrop.size())
        content.resize(old_maildrop.empty() ? 0 : old_maildrop.size() - 1);
    if (old_maildrop.empty()) return 0;
    // The part before the first deleted message is the old maildrop's own.
    const std::size_t base = base_wanted < content.size() ? base_wanted : content.size();
    content.replace(0, base, old_maildrop, 0, base);

    write_whole(mbox, old_maildrop);
    const int fd = open(mbox.c_str(), O_RDWR);
    if (fd < 0) std::abort();
    make_journal(fd, content, base, static_cast<std::int64_t>(old_maildrop.size()));

    // Stopped after writing part of the new content over the old.
    const std::size_t done = progress < content.size() ? progress : content.size();
    if (done > base && pwrite(fd, content.data() + base, done - base, static_cast<off_t>(base)) !=
                           static_cast<ssize_t>(done - base))
        std::abort();
    // Mail delivered before the next session replays the journal.
    if (!appended.empty() &&
        pwrite(fd, appended.data(), appended.size(), static_cast<off_t>(old_maildrop.size())) !=
            static_cast<ssize_t>(appended.size()))
        std::abort();

    if (damaged) {
        // One byte of the header changed: it must never pass for valid.
        std::string bytes = read_whole(journal);
        const std::size_t header_size = 64;
        bytes[damage_at % header_size] ^= static_cast<char>((damage_at >> 6) + 1);
        write_whole(journal, bytes);
        const std::string before = read_whole(mbox);
        if (complete_journal(fd, mbox.c_str(), false)) std::abort();
        if (read_whole(mbox) != before) std::abort();
        if (access(journal.c_str(), F_OK) != 0) std::abort();
    } else {
        if (!complete_journal(fd, mbox.c_str(), false)) std::abort();
        if (read_whole(mbox) != content + appended) std::abort();
        if (access(journal.c_str(), F_OK) == 0 || access(temp.c_str(), F_OK) == 0) std::abort();
    }
    close(fd);
    unlink(journal.c_str());
    unlink(temp.c_str());
    return 0;
}
