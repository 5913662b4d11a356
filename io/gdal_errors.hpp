// What GDAL reported while a piece of work ran. GDAL does not fail every call
// that meets trouble: a damaged compressed strip may decode with only a
// warning, and a full disk may show only as an error raised inside
// GDALClose. The watch sees every message raised on its thread while it
// lives, so the caller can judge the work by them.
#pragma once

#include <cpl_error.h>

namespace pt {

class GdalErrorWatch {
  public:
    // Starts watching this thread's GDAL messages (GDAL's error state is per
    // thread). Each message is still shown on standard error, with its
    // control characters escaped, unless `show` is false: for a program
    // whose failure is one line of its own.
    explicit GdalErrorWatch(bool show = true);
    ~GdalErrorWatch();
    GdalErrorWatch(const GdalErrorWatch&) = delete;
    GdalErrorWatch& operator=(const GdalErrorWatch&) = delete;

    // Forgets what was seen so far: to judge only the work that follows.
    void reset();
    bool warned() const { return worst_ >= CE_Warning; }
    bool failed() const { return worst_ >= CE_Failure; }
    // GDAL could not allocate memory (CPLE_OutOfMemory) at some point.
    bool ran_out_of_memory() const { return out_of_memory_; }

  private:
    static void CPL_STDCALL handle(CPLErr type, CPLErrorNum number, const char* message);
    bool show_ = true;
    CPLErr worst_ = CE_None;
    bool out_of_memory_ = false;
};

// Shows a GDAL message on standard error as GDAL's own handler does
// ("ERROR 1: ...", "Warning 1: ..."), control characters escaped. Install it
// as the process-wide handler so that messages raised outside any watch are
// shown the same way.
void CPL_STDCALL print_gdal_message(CPLErr type, CPLErrorNum number, const char* message);

}  // namespace pt
