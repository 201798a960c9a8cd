// Runs a piece of code in a forked child and collects what it wrote to
// standard output and standard error, and how it ended. The code under test
// ends processes with exit(), so it cannot run in the test process itself.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tollmar::test {

struct child_result {
    int status = -1;  // exit status, or -1 when the child did not exit normally
    std::string out;
    std::string err;
    std::string extra;  // what the child wrote to the descriptor passed to it
};

inline std::string read_all(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    std::fclose(file);
    return text;
}

// body gets a descriptor for extra output; when it returns, the child ends
// with status `returned_status`.
constexpr int returned_status = 100;

template <typename Body>
child_result run_in_child(Body body) {
    std::fflush(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* extra = std::tmpfile();
    child_result result;
    if (out == nullptr || err == nullptr || extra == nullptr) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        body(fileno(extra));
        std::fflush(nullptr);
        _exit(returned_status);
    }
    int wait_status = 0;
    if (pid > 0 && waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    }
    result.out = read_all(out);
    result.err = read_all(err);
    result.extra = read_all(extra);
    return result;
}

inline void write_text(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace tollmar::test
