// A stage's table of cases runs through both of its forms: the one-pixel
// stage on each case, and the lane form on groups whose lanes hold different
// cases. A rule changed in one form only then fails the table's test, and a
// lane that leaks into its neighbour does too.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "filter/pixel_group.hpp"
#include "tile/tile.hpp"

namespace pt {

enum class Form { one_pixel, lanes };
inline constexpr Form BOTH_FORMS[] = {Form::one_pixel, Form::lanes};
inline const char* form_name(Form form) {
    return form == Form::one_pixel ? "one-pixel form" : "lane form";
}

// One pixel's series as the cover stages see them, from year index 0. The
// value and state series start at -1, which no stage leaves behind.
struct CoverPixel {
    std::vector<uint8_t> cover, loss;
    std::vector<int32_t> proximity, value, state;
    uint8_t wetland = 0;

    explicit CoverPixel(std::vector<uint8_t> bytes)
        : cover(std::move(bytes)),
          loss(cover.size()),
          proximity(cover.size(), PROX_NONE),
          value(cover.size(), -1),
          state(cover.size(), -1) {}
    int years() const { return static_cast<int>(cover.size()); }
};

// The pixels after one_pixel(pixel) ran on each, or after lanes(group) ran on
// groups of them: pixels of one year count share groups, pixel after pixel in
// lanes 0 to 15, and a last group they do not fill is filled up with the
// first ones again, so that every lane holds one.
template <class OnePixel, class LaneStage>
std::vector<CoverPixel> run_form(std::vector<CoverPixel> pixels, Form form, OnePixel one_pixel,
                                 LaneStage lanes) {
    if (form == Form::one_pixel) {
        for (CoverPixel& p : pixels) one_pixel(p);
        return pixels;
    }
    std::map<int, std::vector<std::size_t>> by_years;
    for (std::size_t i = 0; i < pixels.size(); ++i) by_years[pixels[i].years()].push_back(i);
    for (const auto& [years, members] : by_years) {
        for (std::size_t first = 0; first < members.size(); first += LANE_COUNT) {
            PixelGroup g(years);
            for (int lane = 0; lane < LANE_COUNT; ++lane) {
                const CoverPixel& p = pixels[members[(first + lane) % members.size()]];
                for (int t = 0; t < years; ++t) {
                    g.cover[t][lane] = p.cover[t];
                    g.loss[t][lane] = p.loss[t] != 0 ? -1 : 0;
                    g.recent[t][lane] = p.proximity[t] == PROX_RECENT ? -1 : 0;
                    g.near[t][lane] = p.proximity[t] != PROX_NONE ? -1 : 0;
                    g.value[t][lane] = static_cast<int16_t>(p.value[t]);
                    g.state[t][lane] = static_cast<int16_t>(p.state[t]);
                }
                g.wetland[lane] = p.wetland == 1 ? -1 : 0;
            }
            lanes(g);
            for (int lane = 0; lane < LANE_COUNT && first + lane < members.size(); ++lane) {
                CoverPixel& p = pixels[members[first + lane]];
                for (int t = 0; t < years; ++t) {
                    p.cover[t] = static_cast<uint8_t>(g.cover[t][lane]);
                    p.value[t] = g.value[t][lane];
                    p.state[t] = g.state[t][lane];
                }
            }
        }
    }
    return pixels;
}

}  // namespace pt
