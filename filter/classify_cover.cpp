#include "filter/stages.hpp"
namespace pt {
void classify_cover(ByteSeries, ConstByteSeries, uint8_t, ConstYearSeries, YearSeries, YearSeries) {}  // STUB
}
