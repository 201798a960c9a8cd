// Installing a signal handler: the flags and the previous handler.
#include "util/signals.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/child_run.hpp"

namespace {

using namespace tollmar::test;
using tollmar::util::install_signal;

void dummy_handler(int) {}

TEST(InstallSignal, FlagsAndPreviousHandler) {
    const child_result r = run_in_child([](int extra) {
        std::string report;
        report += install_signal(SIGUSR1, dummy_handler) == SIG_DFL ? "dfl " : "? ";
        report += install_signal(SIGUSR1, SIG_IGN) == dummy_handler ? "prev " : "? ";
        install_signal(SIGUSR2, dummy_handler);
        install_signal(SIGALRM, dummy_handler);
        struct sigaction usr2 {};
        struct sigaction alrm {};
        sigaction(SIGUSR2, nullptr, &usr2);
        sigaction(SIGALRM, nullptr, &alrm);
        report += (usr2.sa_flags & SA_RESTART) ? "restart " : "norestart ";
        report += (alrm.sa_flags & SA_RESTART) ? "restart " : "norestart ";
        report += usr2.sa_handler == dummy_handler ? "set" : "unset";
        write_text(extra, report);
    });
    EXPECT_EQ(r.status, returned_status);
    EXPECT_EQ(r.extra, "dfl prev restart norestart set");
    EXPECT_EQ(r.err, "");
}

TEST(InstallSignal, FailureIsReported) {
    const child_result r = run_in_child([](int extra) {
        write_text(extra, install_signal(SIGKILL, dummy_handler) == SIG_ERR ? "err" : "ok");
    });
    EXPECT_EQ(r.extra, "err");
    EXPECT_EQ(r.err, "Signal error: Invalid argument\n");
}

}  // namespace
