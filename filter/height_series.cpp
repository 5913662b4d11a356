#include "filter/stages.hpp"
namespace pt {
HeightNeighbourhood height_neighbourhood(const YearCube&, int, int) { return {}; }  // STUB
void filter_height_series(const HeightNeighbourhood&, ConstByteSeries, ConstByteSeries, ConstYearSeries, YearSeries, YearSeries, ByteSeries) {}  // STUB
}
