#include "filter/stages.hpp"
namespace pt {
void apply_post_loss_rules(ConstByteSeries, YearSeries) {}  // STUB
void store_cover(ConstYearSeries, ByteSeries) {}  // STUB
}
