// The chart of a tile's quality table, drawn by gnuplot (Debian's
// gnuplot-nox, headless) with the program of scripts/quality_chart.gp.
#pragma once

#include <string>

namespace pt {

// The PNG bytes of the chart of `table` (a quality table as CSV text) under
// `title`. gnuplot gets the table inline and writes the image to a pipe, so
// it opens no file of ours. Throws RunFailure("<what> cannot be drawn: ...")
// when gnuplot is missing, fails, or has not finished within a minute.
std::string draw_quality_chart(const std::string& table, const std::string& title,
                               const std::string& what);

}  // namespace pt
