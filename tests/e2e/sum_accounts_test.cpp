// sum_accounts ends with the process that started it: the batch's end that
// waits for the sums may be killed (its job cancelled, its terminal closed),
// and nothing should go on reading a batch's tables for no one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "e2e_support.hpp"

namespace pt::e2e {
namespace {

using namespace std::chrono_literals;

// Whether process `pid` waits in read() on its standard input, as
// /proc/<pid>/syscall shows it; false where that cannot be seen.
bool reads_standard_input(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string first;
    return static_cast<bool>(in >> number >> first) && number == SYS_read && first == "0x0";
}

// Waits up to `limit` for `pid`, a child, to end; its wait status, or -1.
int wait_for(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return -1;
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

// In a process of its own (the test's stays as it is): it becomes the
// subreaper of what it starts, starts a parent that starts sum_accounts on
// a list that never comes, kills the parent once sum_accounts waits for its
// list, and waits for sum_accounts, handed to it. The exit status: 0 when
// SIGKILL ended sum_accounts, 1 when it went on, 2 when it ended otherwise,
// 3 when the test could not be set up.
int parent_killed_under_sums(const std::string& scratch) {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 3;
    int list[2], told[2];
    if (::pipe(list) != 0 || ::pipe(told) != 0) return 3;
    const pid_t parent = ::fork();
    if (parent < 0) return 3;
    if (parent == 0) {
        const pid_t sums = ::fork();
        if (sums == 0) {
            ::dup2(list[0], 0);
            const std::vector<std::string> args = {"--",   "-",  scratch,
                                                   "2000", "10", scratch + "/sums.csv"};
            std::vector<char*> argv = exec_arguments(PT_SUM_ACCOUNTS, args);
            ::execv(PT_SUM_ACCOUNTS, argv.data());
            ::_exit(127);
        }
        if (::write(told[1], &sums, sizeof sums) != sizeof sums) ::_exit(3);
        for (;;) ::pause();
    }
    pid_t sums = -1;
    if (::read(told[0], &sums, sizeof sums) != sizeof sums || sums <= 0) return 3;
    // The tie is made first thing in its main; once it waits for its list
    // it is made. Where /proc does not show that, a second is ample.
    bool waiting = false;
    for (int k = 0; k < 500 && !(waiting = reads_standard_input(sums)); ++k) {
        std::this_thread::sleep_for(10ms);
    }
    if (!waiting) std::this_thread::sleep_for(1s);
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    // The list's writing end stays open here: only the signal can end it.
    const int status = wait_for(sums, 10s);
    if (status == -1) {
        ::kill(sums, SIGKILL);
        ::waitpid(sums, nullptr, 0);
        return 1;
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 2;
}

TEST(SumAccounts, EndsWhenTheProcessThatStartedItEnds) {
    const fs::path scratch = scratch_dir("sum_accounts_parent");
    const pid_t helper = ::fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) ::_exit(parent_killed_under_sums(scratch.string()));
    const int status = wait_for(helper, 30s);
    if (status == -1) {
        ::kill(helper, SIGKILL);
        ::waitpid(helper, nullptr, 0);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the test's own process did not end";
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: sum_accounts went on after its parent was killed; 2: it ended otherwise; 3: no "
           "set-up";
    EXPECT_FALSE(fs::exists(scratch / "sums.csv"));
}

}  // namespace
}  // namespace pt::e2e
