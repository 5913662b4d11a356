#include "filter/stages.hpp"
namespace pt {
uint64_t loss_year_bits(ConstByteSeries, int) { return 0; }  // STUB
LossBlock gather_loss_block(const YearCube&, int, int) { return {}; }  // STUB
void compute_loss_proximity(const LossBlock&, YearSeries) {}  // STUB
}
