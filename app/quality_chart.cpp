#include "app/quality_chart.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/quality_chart_program.hpp"
#include "tile/tile.hpp"

extern char** environ;

namespace pt {

namespace {

constexpr int CHART_SECONDS = 60;

// The gnuplot that PATH names, looked up in its absolute directories only: an
// empty entry or "." would run whatever "gnuplot" lies in the working
// directory. Without PATH, the system's default directories. "" if none.
std::string find_gnuplot() {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t begin = 0; begin <= dirs.size();) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(begin, end - begin);
        begin = end + 1;
        if (dir.empty() || dir[0] != '/') continue;
        const std::string candidate = dir + "/gnuplot";
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// True when `image` is one whole PNG: the signature, IHDR first, then chunks
// whose lengths fit, up to an IEND that ends the bytes. A gnuplot that died
// while writing leaves a PNG cut short, whose first bytes look right.
bool is_whole_png(const std::string& image) {
    static constexpr char SIGNATURE[] = "\x89PNG\r\n\x1a\n";
    if (image.size() < 8 || image.compare(0, 8, SIGNATURE, 8) != 0) return false;
    std::size_t at = 8;
    bool first = true;
    while (image.size() - at >= 12) {
        uint32_t length = 0;
        for (int k = 0; k < 4; ++k)
            length = length << 8 | static_cast<unsigned char>(image[at + k]);
        const std::string type = image.substr(at + 4, 4);
        if (length > 0x7fffffffu || image.size() - at - 12 < length) return false;
        if (first && type != "IHDR") return false;
        first = false;
        at += 12 + length;
        if (type == "IEND") return at == image.size();
    }
    return false;
}

// gnuplot's first message: of the lines it writes on standard error, the
// first error it locates ('"file" line N: text', given as text; a warning
// only when no error is located), else the first line that is not blank and
// not the caret under an echoed command. "" when it wrote nothing.
std::string first_gnuplot_message(const std::string& messages) {
    std::string warning, other;
    std::size_t begin = 0;
    while (begin < messages.size()) {
        std::size_t end = messages.find('\n', begin);
        if (end == std::string::npos) end = messages.size();
        std::string line = messages.substr(begin, end - begin);
        begin = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t text = line.find_first_not_of(" \t");
        if (text == std::string::npos || line.find_first_not_of(" \t^") == std::string::npos)
            continue;
        // '"<file>" line <n>: <text>' or 'line <n>: <text>'.
        std::size_t at = line.find("line ", text);
        const bool quoted_file = line[text] == '"';
        if (at != std::string::npos && (at == text || (quoted_file && at > text))) {
            std::size_t digits = at + 5;
            while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])))
                ++digits;
            if (digits > at + 5 && line.compare(digits, 2, ": ") == 0) {
                const std::string said = line.substr(digits + 2);
                if (said.rfind("warning:", 0) != 0) return said;
                if (warning.empty()) warning = said;
                continue;
            }
        }
        if (other.empty()) other = line.substr(text);
    }
    return !warning.empty() ? warning : other;
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
    // line of it can end the block early. gnuplot reads both from standard
    // input as a called script, and takes the datablock's name, its output
    // and the title as the call's arguments, which it never parses: any
    // tile id makes a title.
    const std::string program = "$table << EOD\n" + table + "EOD\n" + QUALITY_CHART_PROGRAM;
    const std::string gnuplot = find_gnuplot();
    if (gnuplot.empty()) throw RunFailure(what + " cannot be drawn: gnuplot cannot be started");
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
    std::vector<std::string> words = {"gnuplot", "-c",          "/dev/stdin",
                                      "$table",  "/dev/stdout", title};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, gnuplot.c_str(), &actions, nullptr, argv.data(), environ);
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
    const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const bool png = is_whole_png(image);
    if (!fed || !exited || !png) {
        std::string reason = first_gnuplot_message(messages);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
            reason = "gnuplot is missing";
        } else if (!reason.empty()) {
            reason = "gnuplot: " + reason;
        } else if (WIFSIGNALED(status)) {
            reason = "gnuplot was ended by signal " + std::to_string(WTERMSIG(status));
        } else if (!exited) {
            reason = "gnuplot ended with status " + std::to_string(WEXITSTATUS(status));
        } else if (!fed) {
            reason = "gnuplot did not read the chart program";
        } else {
            reason = "gnuplot's image is not a whole PNG";
        }
        throw RunFailure(what + " cannot be drawn: " + reason);
    }
    return image;
}

}  // namespace pt
