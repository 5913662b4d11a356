#include "app/quality_chart.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "app/quality_chart_program.hpp"
#include "tile/tile.hpp"

extern char** environ;

namespace pt {

namespace {

constexpr int CHART_SECONDS = 60;

// A gnuplot string literal: single quotes, a quote doubled.
std::string gnuplot_string(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw RunFailure("cannot make a pipe");
        read = fds[0], write = fds[1];
    }
    ~Pipe() { close_both(); }
    void close_read() {
        if (read >= 0) close(read), read = -1;
    }
    void close_write() {
        if (write >= 0) close(write), write = -1;
    }
    void close_both() { close_read(), close_write(); }
};

}  // namespace

std::string draw_quality_chart(const std::string& table, const std::string& title,
                               const std::string& what) {
    // The table as a datablock ahead of the program: numbers only, so no
    // line of it can end the block early.
    const std::string program = "$table << EOD\n" + table + "EOD\ntable = '$table'\n" +
                                "chart = '/dev/stdout'\nchart_title = " + gnuplot_string(title) +
                                "\n" + QUALITY_CHART_PROGRAM;
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
    char gnuplot[] = "gnuplot";
    char* argv[] = {gnuplot, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw RunFailure(what + " cannot be drawn: gnuplot cannot be started");
    in.close_read(), out.close_write(), err.close_write();

    // A few kilobytes: the pipe takes them whole before gnuplot reads a line.
    // A gnuplot that died early must show as a failed write here, not end the
    // tool by SIGPIPE: the quality tool ignores that signal from now on.
    signal(SIGPIPE, SIG_IGN);
    bool fed = true;
    for (std::size_t done = 0; fed && done < program.size();) {
        const ssize_t n = write(in.write, program.data() + done, program.size() - done);
        if (n < 0 && errno == EINTR) continue;
        fed = n > 0;
        if (fed) done += static_cast<std::size_t>(n);
    }
    in.close_write();

    std::string image, messages;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(CHART_SECONDS);
    bool timed_out = false;
    std::array<pollfd, 2> fds = {pollfd{out.read, POLLIN, 0}, pollfd{err.read, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                (k == 0 ? image : messages).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[k].fd = -1;
            }
        }
    }
    if (timed_out) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out) {
        throw RunFailure(what + " cannot be drawn: gnuplot did not finish within " +
                         std::to_string(CHART_SECONDS) + " s");
    }
    const bool png = image.size() > 8 && image.compare(0, 4, "\x89PNG") == 0;
    if (!fed || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !png) {
        std::string first_line = messages.substr(0, messages.find('\n'));
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) first_line = "gnuplot is missing";
        throw RunFailure(what + " cannot be drawn" +
                         (first_line.empty() ? std::string() : ": " + first_line));
    }
    return image;
}

}  // namespace pt
