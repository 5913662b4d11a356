#include "run/progress.hpp"

#include <unistd.h>

namespace pt {

Progress Progress::for_terminal() {
    return Progress(isatty(STDERR_FILENO) == 1, stderr);
}

Progress& Progress::silent() {
    static Progress none(false, stderr);
    return none;
}

void Progress::begin_phase(const std::string& name, long total) {
    if (!enabled_) return;
    end_phase();
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
    total_ = total > 0 ? total : 1;
    done_ = 0;
    last_percent_ = -1;
    open_ = true;
    start_ = std::chrono::steady_clock::now();
    draw(0, false);
}

void Progress::advance(long steps) {
    if (!enabled_) return;
    const long done = done_ += steps;
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) draw(done, false);
}

void Progress::end_phase() {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    draw(total_, true);
    open_ = false;
}

// Called with the mutex held. Redraws only when the percentage moves.
void Progress::draw(long done, bool final) {
    const int percent = static_cast<int>(100 * (done < total_ ? done : total_) / total_);
    if (!final && percent == last_percent_) return;
    last_percent_ = percent;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stream_, "\r%-10s %3d%%  %6.1f s%s", name_.c_str(), percent, seconds,
                 final ? "\n" : "");
    std::fflush(stream_);
}

}  // namespace pt
