// Progress of the long phases (reading, filtering, writing) for a person
// watching a terminal. Unattended runs, whose standard error is a file or a
// pipe, stay silent; standard output is never used, so the one-line failure
// message contract holds either way.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace pt {

class Progress {
  public:
    // Draws on `stream` only when `enabled`.
    Progress(bool enabled, std::FILE* stream) : enabled_(enabled), stream_(stream) {}
    // Enabled when standard error is a terminal.
    static Progress for_terminal();
    // Never draws; for callers that do not want progress.
    static Progress& silent();

    ~Progress() { end_phase(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Starts a phase of `total` steps, ending the previous one.
    void begin_phase(const std::string& name, long total);
    // Records finished steps; callable from any thread.
    void advance(long steps = 1);
    // Ends the current phase with its line completed.
    void end_phase();

    bool enabled() const { return enabled_; }

  private:
    void draw(long done, bool final);

    bool enabled_;
    std::FILE* stream_;
    std::mutex mutex_;
    std::string name_;
    long total_ = 0;
    std::atomic<long> done_{0};
    int last_percent_ = -1;
    bool open_ = false;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace pt
