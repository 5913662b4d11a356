// A stage's table of cases runs through both of its forms: the one-pixel
// stage on each case, and the lane form on groups whose lanes hold different
// cases. A rule changed in one form only then fails the table's test, and a
// lane that leaks into its neighbour does too.
#pragma once

#include <map>
#include <vector>

#include "filter/pixel_group.hpp"

namespace pt {

enum class Form { one_pixel, lanes };
inline constexpr Form BOTH_FORMS[] = {Form::one_pixel, Form::lanes};
inline const char* form_name(Form form) {
    return form == Form::one_pixel ? "one-pixel form" : "lane form";
}

// Cases of one year count share groups, case after case in lanes 0 to 15;
// a count that does not fill the last group fills it up with its first cases
// again, so that every lane holds one. load(group, lane, case) fills a lane,
// run(group) runs the stage, read(group, lane, case) takes the results.
template <class YearsOf, class Load, class Run, class Read>
void run_in_lane_groups(int case_count, YearsOf years_of, Load load, Run run, Read read) {
    std::map<int, std::vector<int>> by_years;
    for (int i = 0; i < case_count; ++i) by_years[years_of(i)].push_back(i);
    for (const auto& [years, cases] : by_years) {
        const int count = static_cast<int>(cases.size());
        for (int first = 0; first < count; first += LANE_COUNT) {
            PixelGroup group(years);
            for (int lane = 0; lane < LANE_COUNT; ++lane) {
                load(group, lane, cases[(first + lane) % count]);
            }
            run(group);
            for (int lane = 0; lane < LANE_COUNT && first + lane < count; ++lane) {
                read(group, lane, cases[first + lane]);
            }
        }
    }
}

}  // namespace pt
