#include "filter/stages.hpp"
namespace pt {
void repair_cover_gaps(ConstByteSeries, YearSeries, YearSeries) {}  // STUB
}
