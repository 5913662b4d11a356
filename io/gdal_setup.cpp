#include "io/gdal_setup.hpp"

#include <cpl_conv.h>
#include <gdal_priv.h>

#include "io/gdal_errors.hpp"

namespace pt {

void start_gdal() {
    CPLSetErrorHandler(print_gdal_message);
    CPLSetConfigOption("GDAL_NUM_THREADS", "1");
    GDALAllRegister();
    GDALSetCacheMax64(GDAL_BLOCK_CACHE_BYTES);
}

}  // namespace pt
